#include "tarn/client/impl/service/logging/LoggingServiceImpl.h"

#include <array>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "ConsoleCapture.h"
#include "ScopedWorkDir.h"
#include "tarn/client/Configurator.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"

using tarn::client::Configurator;
using tarn::client::impl::Log;
using tarn::client::impl::ServiceRegistry;
using tarn::client::impl::service::logging::LoggingServiceImpl;
using tarn::test::ConsoleCapture;
using tarn::test::ScopedWorkDir;

namespace {

const char* const LEVEL_NAMES[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const DEFAULT_NOTICES =
    "Logging level is set to INFO\n"
    "TARN logging will be directed to ./tarn.log\n";

// A fresh working directory whose tarn.cfg (none when cfg is empty) the registry's
// configuration service has just read, so a test sees exactly the keys it chose, whatever ran
// in this process before.
struct Env {
    ScopedWorkDir dir;
    Configurator& config;

    explicit Env(const std::string& cfg = "") : config(reload(dir, cfg)) {}

    static Configurator& reload(const ScopedWorkDir& dir, const std::string& cfg) {
        if (!cfg.empty()) {
            dir.writeFile("tarn.cfg", cfg);
        }
        ConsoleCapture quiet;
        Configurator& config = ServiceRegistry::instance().getConfigurator();
        config.shutdown();
        config.setConfigFile("tarn.cfg");
        config.init();
        return config;
    }
};

struct Output {
    std::string out;
    std::string err;
};

Output initialize(LoggingServiceImpl& logger) {
    ConsoleCapture console;
    EXPECT_TRUE(logger.init());
    return {console.stdOut(), console.stdErr()};
}

// Writes one line at the given level number through the matching operation.
void logAt(LoggingServiceImpl& logger, int level, const std::string& name, const std::string& tag,
           const std::string& message) {
    switch (level) {
        case 0:
            logger.trace(name, tag, message);
            break;
        case 1:
            logger.debug(name, tag, message);
            break;
        case 2:
            logger.info(name, tag, message);
            break;
        case 3:
            logger.warn(name, tag, message);
            break;
        default:
            logger.error(name, tag, message);
            break;
    }
}

std::string escapeRegex(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The whole line, with the time stamp's fields captured as groups 1 to 6.
std::regex lineRegex(int level, const std::string& name, const std::string& tag, const std::string& message) {
    return std::regex("\\[" + std::string(LEVEL_NAMES[level]) +
                      "\\] \\[(\\d{4})-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-(\\d{2}) "
                      "(\\d{2}):(\\d{2}):(\\d{2})\\] \\[" +
                      escapeRegex(name) + ":" + escapeRegex(tag) + "\\] " + escapeRegex(message));
}

// The local calendar time a matched line's stamp names.
std::time_t stampTime(const std::smatch& match) {
    std::tm tm{};
    tm.tm_year = std::stoi(match[1]) - 1900;
    for (int month = 0; month < 12; ++month) {
        if (match[2] == MONTHS[month]) {
            tm.tm_mon = month;
        }
    }
    tm.tm_mday = std::stoi(match[3]);
    tm.tm_hour = std::stoi(match[4]);
    tm.tm_min = std::stoi(match[5]);
    tm.tm_sec = std::stoi(match[6]);
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// Sets the process's time zone for the object's lifetime, so a stamp in universal time cannot
// pass for local time on a machine that runs in UTC.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadZone = old != nullptr;
        if (hadZone) {
            previous = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (hadZone) {
            setenv("TZ", previous.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool hadZone = false;
    std::string previous;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST(LoggingServiceImpl, StartsAtInfoWithTheDefaultFileAndStoresTheDefaults) {
    Env env;
    LoggingServiceImpl logger;
    const Output started = initialize(logger);
    EXPECT_EQ(started.out, DEFAULT_NOTICES);
    EXPECT_EQ(started.err, "");
    EXPECT_TRUE(boost::filesystem::is_regular_file(env.dir.path() / "tarn.log"));
    EXPECT_EQ(env.config.getString("tarn.logdir"), "./");
    EXPECT_EQ(env.config.getString("tarn.logname"), "tarn.log");
    EXPECT_FALSE(env.config.hasValue("tarn.loglevel"));

    ConsoleCapture console;
    for (int level = 0; level <= 4; ++level) {
        logAt(logger, level, "tarn.client.test", "level00" + std::to_string(level), "line");
    }
    const std::vector<std::string> lines = splitLines(console.stdOut());
    ASSERT_EQ(lines.size(), 3u);
    for (int level = 2; level <= 4; ++level) {
        EXPECT_TRUE(std::regex_match(lines[level - 2], lineRegex(level, "tarn.client.test",
                                                                 "level00" + std::to_string(level), "line")))
            << lines[level - 2];
    }
    EXPECT_EQ(env.dir.readFile("tarn.log"), console.stdOut());
    EXPECT_EQ(console.stdErr(), "");
    logger.shutdown();
}

TEST(LoggingServiceImpl, LineFormatIsExactAndStampedWithLocalTime) {
    struct Case {
        int level;
        std::string name;
        std::string tag;
        std::string message;
    };
    const std::vector<Case> cases = {
        {2, "tarn.client.connSvc", "doInit", "plain text"},
        {4, "tarn.client.connSvc.discoveror", "doMajorDiscovery999", "[CHECKPOINT@P2P_END] done"},
        {3, "n", "t", "100% of %1% and %s stay as written"},
        {2, "", "", ""},
        {0, "tarn.client.x", "tag:with:colons", "  leading and trailing blanks  "},
        {1, "tarn.client.x", "utf8", "caf\xc3\xa9 \\ backslash {braces}"},
    };
    // Five and a half hours east of UTC, no daylight saving time: far from any real offset bug.
    ScopedTimeZone zone("<+0530>-5:30");
    Env env;
    LoggingServiceImpl logger;
    initialize(logger);
    logger.setLevel(0);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ConsoleCapture console;
        const std::time_t before = std::time(nullptr);
        logAt(logger, c.level, c.name, c.tag, c.message);
        const std::time_t after = std::time(nullptr);

        const std::string out = console.stdOut();
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), '\n');
        const std::string line = out.substr(0, out.size() - 1);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, lineRegex(c.level, c.name, c.tag, c.message))) << line;
        const std::time_t stamped = stampTime(match);
        EXPECT_GE(stamped, before);
        EXPECT_LE(stamped, after);
    }
    // The file holds the same lines, in order, as standard output did.
    const std::vector<std::string> fileLines = splitLines(env.dir.readFile("tarn.log"));
    ASSERT_EQ(fileLines.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(std::regex_match(
            fileLines[i], lineRegex(cases[i].level, cases[i].name, cases[i].tag, cases[i].message)))
            << fileLines[i];
    }
    logger.shutdown();
}

TEST(LoggingServiceImpl, LevelFilteringAtAndAroundTheThreshold) {
    Env env;
    LoggingServiceImpl logger;
    initialize(logger);
    for (int threshold = -1; threshold <= 5; ++threshold) {
        logger.setLevel(threshold);
        for (int level = 0; level <= 4; ++level) {
            SCOPED_TRACE("threshold " + std::to_string(threshold) + ", level " + std::to_string(level));
            const std::string fileBefore = env.dir.readFile("tarn.log");
            ConsoleCapture console;
            logAt(logger, level, "tarn.client.test", "filter", "m");
            const bool written = level >= threshold;
            EXPECT_EQ(logger.isLogged(level), written);
            EXPECT_EQ(console.stdOut().empty(), !written);
            EXPECT_EQ(env.dir.readFile("tarn.log"), fileBefore + console.stdOut());
            EXPECT_EQ(console.stdErr(), "");
        }
    }
    logger.shutdown();
}

TEST(LoggingServiceImpl, LevelNamesAreTrimmedAndCaseBlind) {
    struct Case {
        std::string name;
        int expected;
    };
    // Each case starts from ERROR, so "unchanged" shows as 4.
    const std::vector<Case> cases = {
        {"TRACE", 0},   {"debug", 1}, {" debug ", 1}, {"Warn", 3},   {"\tinfo\r\n", 2}, {"eRrOr", 4},
        {"verbose", 4}, {"", 4},      {"warning", 4}, {"DEBUG2", 4}, {"IN FO", 4},      {"2", 4},
    };
    LoggingServiceImpl logger;
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.name + "'");
        logger.setLevel(4);
        logger.setLevel(c.name);
        EXPECT_TRUE(logger.isLogged(c.expected));
        EXPECT_FALSE(logger.isLogged(c.expected - 1));
    }
}

TEST(LoggingServiceImpl, ConfigurationChoosesTheLevel) {
    struct Case {
        const char* what;
        std::string cfg;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"nothing configured", "", "INFO"},
        {"loglevel with blanks", "tarn.loglevel =   debug   \n", "DEBUG"},
        {"loglevel mixed case", "tarn.loglevel=Warn\n", "WARN"},
        {"loglevel unknown", "tarn.loglevel=verbose\n", "INFO"},
        {"loglevel empty", "tarn.loglevel=\n", "INFO"},
        {"debug alone, even 0", "tarn.debug=0\n", "TRACE"},
        {"debug alone, empty", "tarn.debug=\n", "TRACE"},
        {"debug and loglevel", "tarn.debug=1\ntarn.loglevel=error\n", "ERROR"},
        {"debug and unknown loglevel", "tarn.debug=1\ntarn.loglevel=verbose\n", "INFO"},
        {"section form", "[tarn]\nloglevel = trace\n", "TRACE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Env env(c.cfg);
        LoggingServiceImpl logger;
        const Output started = initialize(logger);
        EXPECT_EQ(started.out, std::string("Logging level is set to ") + c.expected +
                                   "\nTARN logging will be directed to ./tarn.log\n");
        EXPECT_EQ(started.err, "");
        logger.shutdown();
    }
}

TEST(LoggingServiceImpl, InitKeepsTheLevelWhenTheConfigurationNamesNone) {
    Env env;
    LoggingServiceImpl logger;
    logger.setLevel("error");
    EXPECT_EQ(initialize(logger).out,
              "Logging level is set to ERROR\nTARN logging will be directed to ./tarn.log\n");

    // A number without a name is shown as the number.
    logger.setLevel(7);
    logger.shutdown();
    EXPECT_EQ(initialize(logger).out,
              "Logging level is set to 7\nTARN logging will be directed to ./tarn.log\n");

    // Values set after the first init count at the next one.
    env.config.setValue("tarn.loglevel", "debug");
    logger.shutdown();
    EXPECT_EQ(initialize(logger).out,
              "Logging level is set to DEBUG\nTARN logging will be directed to ./tarn.log\n");
    logger.shutdown();
}

TEST(LoggingServiceImpl, ReinitializationTruncatesTheFile) {
    Env env;
    env.dir.writeFile("tarn.log", "a line from the last run\n");
    LoggingServiceImpl logger;
    initialize(logger);
    EXPECT_EQ(env.dir.readFile("tarn.log"), "");

    ConsoleCapture console;
    logger.info("tarn.client.test", "run001", "first");
    logger.shutdown();
    logger.info("tarn.client.test", "run002", "after shutdown");
    const std::vector<std::string> fileLines = splitLines(env.dir.readFile("tarn.log"));
    ASSERT_EQ(fileLines.size(), 1u);
    EXPECT_TRUE(std::regex_match(fileLines[0], lineRegex(2, "tarn.client.test", "run001", "first")));
    EXPECT_EQ(splitLines(console.stdOut()).size(), 2u);

    EXPECT_TRUE(logger.init());
    EXPECT_EQ(env.dir.readFile("tarn.log"), "");
    logger.info("tarn.client.test", "run003", "second");
    const std::vector<std::string> again = splitLines(env.dir.readFile("tarn.log"));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(std::regex_match(again[0], lineRegex(2, "tarn.client.test", "run003", "second")));
    logger.shutdown();
}

TEST(LoggingServiceImpl, LinesBeforeInitGoToStandardOutputOnly) {
    Env env;
    LoggingServiceImpl logger;
    ConsoleCapture console;
    logger.warn("tarn.client.test", "early", "before init");
    EXPECT_TRUE(std::regex_match(
        console.stdOut(),
        std::regex("\\[WARN\\] \\[[^\\]]+\\] \\[tarn\\.client\\.test:early\\] before init\n")))
        << console.stdOut();
    EXPECT_FALSE(boost::filesystem::exists(env.dir.path() / "tarn.log"));
    // The configuration is not consulted before init.
    EXPECT_FALSE(env.config.hasValue("tarn.logdir"));
}

TEST(LoggingServiceImpl, SetLogFileTakesPrecedenceOverTheConfiguration) {
    Env env("tarn.logdir = cfgdir\ntarn.logname = cfg.log\n");
    LoggingServiceImpl logger;
    logger.setLogFile("  sub/deeper ", " game.log\t");
    EXPECT_EQ(initialize(logger).out,
              "Logging level is set to INFO\nTARN logging will be directed to sub/deeper/game.log\n");
    EXPECT_FALSE(boost::filesystem::exists(env.dir.path() / "cfgdir"));
    EXPECT_EQ(env.config.getString("tarn.logdir"), "cfgdir");

    // A new location waits for the next init.
    logger.setLogFile("other", "next.log");
    logger.info("tarn.client.test", "where", "still the first file");
    EXPECT_EQ(splitLines(env.dir.readFile("sub/deeper/game.log")).size(), 1u);
    EXPECT_FALSE(boost::filesystem::exists(env.dir.path() / "other"));

    logger.shutdown();
    EXPECT_EQ(initialize(logger).out,
              "Logging level is set to INFO\nTARN logging will be directed to other/next.log\n");
    logger.info("tarn.client.test", "where", "the second file");
    EXPECT_EQ(splitLines(env.dir.readFile("other/next.log")).size(), 1u);
    logger.shutdown();
}

TEST(LoggingServiceImpl, SetLogFileKeepsUnconfiguredKeysAbsent) {
    Env env;
    LoggingServiceImpl logger;
    logger.setLogFile("logs", "game.log");
    initialize(logger);
    EXPECT_FALSE(env.config.hasValue("tarn.logdir"));
    EXPECT_FALSE(env.config.hasValue("tarn.logname"));
    logger.shutdown();

    // Only the half left empty comes from the configuration (and stores its default).
    LoggingServiceImpl half;
    half.setLogFile("   ", "half.log");
    EXPECT_EQ(initialize(half).out,
              "Logging level is set to INFO\nTARN logging will be directed to ./half.log\n");
    EXPECT_EQ(env.config.getString("tarn.logdir"), "./");
    EXPECT_FALSE(env.config.hasValue("tarn.logname"));
    half.shutdown();
}

TEST(LoggingServiceImpl, LogDirectoryIsCreatedWithEveryMissingParent) {
    struct Case {
        std::string dir;
        std::string path;  // as announced
    };
    const std::vector<Case> cases = {
        {"logs", "logs/tarn.log"},
        {"logs/", "logs/tarn.log"},
        {"a/b/c", "a/b/c/tarn.log"},
        {"./", "./tarn.log"},
        {".", "./tarn.log"},
        {"./x/y/", "./x/y/tarn.log"},
        {"p/./q/../r", "p/./q/../r/tarn.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        Env env("tarn.logdir=" + c.dir + "\n");
        LoggingServiceImpl logger;
        const Output started = initialize(logger);
        EXPECT_EQ(started.out,
                  "Logging level is set to INFO\nTARN logging will be directed to " + c.path + "\n");
        EXPECT_EQ(started.err, "");
        logger.error("tarn.client.test", "dir", "here");
        EXPECT_EQ(splitLines(env.dir.readFile(c.path)).size(), 1u);
        logger.shutdown();
    }

    // An absolute directory works the same.
    Env env;
    const boost::filesystem::path absolute = env.dir.path() / "abs" / "logs";
    env.config.setValue("tarn.logdir", absolute.string());
    LoggingServiceImpl logger;
    EXPECT_EQ(initialize(logger).out, "Logging level is set to INFO\nTARN logging will be directed to " +
                                          (absolute / "tarn.log").string() + "\n");
    EXPECT_TRUE(boost::filesystem::is_regular_file(absolute / "tarn.log"));
    logger.shutdown();
}

TEST(LoggingServiceImpl, UnusableLogLocationLeavesStandardOutputOnly) {
    struct Case {
        const char* what;
        std::string cfg;
        std::string errPattern;
    };
    const std::vector<Case> cases = {
        {"directory is a plain file", "tarn.logdir=plain\n",
         "Could not create log directory plain[^\n]+\nNO LOGFILE WILL BE GENERATED\n"},
        {"a parent is a plain file", "tarn.logdir=plain/sub/\n",
         "Could not create log directory plain/sub/[^\n]+\nNO LOGFILE WILL BE GENERATED\n"},
        {"file name is a directory", "tarn.logname=folder\n",
         "COULD NOT OPEN \\./folder FOR WRITING\nNO LOGFILE WILL BE GENERATED\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Env env(c.cfg);
        env.dir.writeFile("plain", "not a directory\n");
        boost::filesystem::create_directory(env.dir.path() / "folder");

        LoggingServiceImpl logger;
        const Output started = initialize(logger);
        EXPECT_TRUE(logger.isInitialized());
        EXPECT_EQ(started.out, "Logging level is set to INFO\n");
        EXPECT_TRUE(std::regex_match(started.err, std::regex(c.errPattern))) << started.err;
        EXPECT_EQ(env.dir.readFile("plain"), "not a directory\n");

        ConsoleCapture console;
        logger.warn("tarn.client.test", "nofile", "still shown");
        EXPECT_TRUE(std::regex_match(splitLines(console.stdOut()).at(0),
                                     lineRegex(3, "tarn.client.test", "nofile", "still shown")));
        logger.shutdown();
    }
}

TEST(LoggingServiceImpl, ConcurrentLinesStayWholeAndInOrder) {
    const int threads = 8;
    const int linesPerThread = 250;
    // Long enough that an unlocked write would be split by the stream buffers.
    const std::string padding(300, 'x');

    Env env;
    LoggingServiceImpl logger;
    initialize(logger);

    ConsoleCapture console;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i) {
                logger.warn("tarn.client.writer" + std::to_string(t), "line" + std::to_string(i),
                            std::to_string(t) + ":" + std::to_string(i) + " " + padding);
            }
        });
    }
    // The host thread moves the threshold meanwhile; WARN passes at both levels.
    for (int i = 0; i < 500; ++i) {
        logger.setLevel(i % 2 == 0 ? "trace" : "warn");
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    const std::regex pattern(
        "\\[WARN\\] \\[[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8}\\] "
        "\\[tarn\\.client\\.writer([0-9]+):line([0-9]+)\\] ([0-9]+):([0-9]+) x{300}");
    for (const std::string& text : {env.dir.readFile("tarn.log"), console.stdOut()}) {
        const std::vector<std::string> lines = splitLines(text);
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * linesPerThread));
        std::array<int, threads> next{};
        for (const std::string& line : lines) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
            const int t = std::stoi(match[1]);
            ASSERT_LT(t, threads);
            EXPECT_EQ(match[3], match[1]);
            EXPECT_EQ(match[4], match[2]);
            // Each thread's lines keep the order it wrote them in.
            EXPECT_EQ(std::stoi(match[2]), next[t]);
            next[t] = std::stoi(match[2]) + 1;
        }
    }
    logger.shutdown();
}

// The flow a host sees: it writes tarn.cfg into its working directory, and its first log call
// creates the registry, reads the file and starts the logging service. Needs a process in which
// the registry does not exist yet, which is how ctest runs every test.
TEST(LoggingServiceImpl, HostSeesItsConfigurationAndEveryLineTwice) {
    if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1) {
        GTEST_SKIP() << "needs a process of its own; run it alone or through ctest";
    }
    ScopedWorkDir dir;
    dir.writeFile("tarn.cfg", "# game settings\n[tarn]\nloglevel = debug\nlogname = host.log\n");

    ConsoleCapture console;
    ServiceRegistry& registry = ServiceRegistry::instance();
    EXPECT_EQ(console.stdOut(), "Reading in config values from 'tarn.cfg'\n");
    EXPECT_EQ(registry.getConfigurator().getName(), "tarn.client.configurator");
    console.clear();

    Log::debug("tarn.client.host", "main001", "port %1% of %2%", 4000, "10.0.0.1");
    Log::trace("tarn.client.host", "main002", "hidden");
    Log::info("tarn.client.host", "main003", "100% literal");

    const std::vector<std::string> out = splitLines(console.stdOut());
    ASSERT_EQ(out.size(), 4u) << console.stdOut();
    EXPECT_EQ(out[0], "Logging level is set to DEBUG");
    EXPECT_EQ(out[1], "TARN logging will be directed to ./host.log");
    EXPECT_TRUE(
        std::regex_match(out[2], lineRegex(1, "tarn.client.host", "main001", "port 4000 of 10.0.0.1")))
        << out[2];
    EXPECT_TRUE(std::regex_match(out[3], lineRegex(2, "tarn.client.host", "main003", "100% literal")))
        << out[3];
    EXPECT_EQ(console.stdErr(), "");
    EXPECT_EQ(dir.readFile("host.log"), out[2] + "\n" + out[3] + "\n");

    LoggingServiceImpl& logger = dynamic_cast<LoggingServiceImpl&>(registry.getLoggingService());
    EXPECT_EQ(logger.getName(), "tarn.client.logger");
    EXPECT_TRUE(logger.isInitialized());
}
