#include "tarn/client/impl/service/configurator/ConfiguratorImpl.h"

#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "ConsoleCapture.h"
#include "ScopedWorkDir.h"

using tarn::client::impl::service::configurator::ConfiguratorImpl;
using tarn::test::ConsoleCapture;
using tarn::test::ScopedWorkDir;
using Values = std::map<std::string, std::string>;

namespace {

const char* const READING = "Reading in config values from 'tarn.cfg'\n";

// Initializes a fresh configurator on the tarn.cfg of the current directory and returns what
// it printed.
struct Loaded {
    ConfiguratorImpl config;
    std::string out;
    std::string err;

    Loaded() {
        ConsoleCapture console;
        EXPECT_TRUE(config.init());
        out = console.stdOut();
        err = console.stdErr();
    }
};

}  // namespace

TEST(ConfiguratorImpl, MissingFileReportsOnStandardErrorAndDefaultsApply) {
    ScopedWorkDir dir;
    Loaded loaded;
    EXPECT_EQ(loaded.err, "Cannot read 'tarn.cfg'\n");
    EXPECT_EQ(loaded.out, "");
    EXPECT_TRUE(loaded.config.isInitialized());
    EXPECT_TRUE(loaded.config.getValues().empty());

    EXPECT_EQ(loaded.config.getInt("tarn.port.1", 13434, true), 13434);
    EXPECT_EQ(loaded.config.getString("tarn.port.1"), "13434");
}

TEST(ConfiguratorImpl, DirectoryNamedLikeTheFileCannotBeRead) {
    ScopedWorkDir dir;
    boost::filesystem::create_directory(dir.path() / "tarn.cfg");
    Loaded loaded;
    EXPECT_EQ(loaded.err, "Cannot read 'tarn.cfg'\n");
    EXPECT_EQ(loaded.out, "");
    EXPECT_TRUE(loaded.config.getValues().empty());
}

TEST(ConfiguratorImpl, FilesAsUsersWriteThem) {
    struct Case {
        const char* what;
        std::string file;
        Values expected;
        // Regular expression for the whole standard error text; empty: nothing may be written.
        std::string errPattern;
    };
    const std::vector<Case> cases = {
        {"blanks and comments",
         "# rendezvous servers\n"
         "\n"
         "   \t  \n"
         "  tarn.addr.1   =   10.0.0.1   # first server\n"
         "tarn.port.1=4000\n"
         "\ttarn.retries\t=\t5\n",
         {{"tarn.addr.1", "10.0.0.1"}, {"tarn.port.1", "4000"}, {"tarn.retries", "5"}},
         ""},
        {"section form",
         "[tarn]\n"
         "timeout.nat=750\n"
         "loglevel = debug\n",
         {{"tarn.timeout.nat", "750"}, {"tarn.loglevel", "debug"}},
         ""},
        {"section form with a comment after a value",
         "[tarn]\n"
         "addr.1 = rendezvous1.example.net\n"
         "logdir = logs/tarn   # created if missing\n",
         {{"tarn.addr.1", "rendezvous1.example.net"}, {"tarn.logdir", "logs/tarn"}},
         ""},
        {"full names before a section, a later section ends it",
         "tarn.retries=1\n"
         "[tarn]\n"
         "addr.2=10.0.0.2\n"
         "[game]\n"
         "retries=9\n",
         {{"tarn.retries", "1"}, {"tarn.addr.2", "10.0.0.2"}},
         ""},
        {"windows line ends",
         "tarn.addr.1=10.0.0.1\r\n"
         "tarn.logname=game.log\r\n",
         {{"tarn.addr.1", "10.0.0.1"}, {"tarn.logname", "game.log"}},
         ""},
        {"undeclared names are skipped silently",
         "tarn.foo=1\n"
         "retries=3\n"
         "=7\n"
         "[tarn]\n"
         "tarn.retries=4\n"
         "bar=2\n",
         {},
         ""},
        {"empty value and value with inner blanks",
         "tarn.loglevel=\n"
         "tarn.logdir = my logs \n",
         {{"tarn.loglevel", ""}, {"tarn.logdir", "my logs"}},
         ""},
        {"every declared key",
         "tarn.loglevel=warn\ntarn.debug=0\ntarn.logdir=logs\ntarn.logname=t.log\ntarn.logconsole=0\ntarn."
         "retries=3\n"
         "tarn.timeout.discovery=600\ntarn.trigger.discovery=4\ntarn.timeout.private=700\n"
         "tarn.timeout.nat=800\ntarn.timeout.nat.sym=900\ntarn.candidate_addrs=12\n"
         "tarn.discovery.overlap=1\ntarn.connect.overlap=1\n"
         "tarn.addr.1=10.0.0.1\ntarn.port.1=1001\ntarn.addr.2=10.0.0.2\ntarn.port.2=1002\n",
         {{"tarn.loglevel", "warn"},
          {"tarn.debug", "0"},
          {"tarn.logdir", "logs"},
          {"tarn.logname", "t.log"},
          {"tarn.logconsole", "0"},
          {"tarn.retries", "3"},
          {"tarn.timeout.discovery", "600"},
          {"tarn.trigger.discovery", "4"},
          {"tarn.timeout.private", "700"},
          {"tarn.timeout.nat", "800"},
          {"tarn.timeout.nat.sym", "900"},
          {"tarn.candidate_addrs", "12"},
          {"tarn.discovery.overlap", "1"},
          {"tarn.connect.overlap", "1"},
          {"tarn.addr.1", "10.0.0.1"},
          {"tarn.port.1", "1001"},
          {"tarn.addr.2", "10.0.0.2"},
          {"tarn.port.2", "1002"}},
         ""},
        {"a line without an equals sign drops the whole file",
         "tarn.retries=5\n"
         "tarn.addr.1 10.0.0.1\n"
         "tarn.port.1=4000\n",
         {},
         "Error during options parsing: [^\n]*'tarn\\.addr\\.1 10\\.0\\.0\\.1'[^\n]*\n"},
        {"a bad line naming the error text's own placeholder is quoted as it stands",
         "tarn.retries=5\n"
         "tarn.port.%invalid_line%\n",
         {},
         "Error during options parsing: [^\n]*'tarn\\.port\\.%invalid_line%'\n"},
        {"binary garbage is a syntax error",
         std::string("tarn.retries=5\n\xff\xfe\x01\x02\n"),
         {},
         "Error during options parsing: [^\n]*\n"},
        {"a repeated key keeps what was stored before it",
         "tarn.retries=5\n"
         "tarn.addr.1=10.0.0.1\n"
         "tarn.retries=6\n"
         "tarn.port.1=4000\n",
         {{"tarn.retries", "5"}, {"tarn.addr.1", "10.0.0.1"}},
         "Error during options parsing: [^\n]*'tarn\\.retries'[^\n]*\n"},
        {"a key repeated through the section form counts as repeated",
         "tarn.retries=5\n"
         "[tarn]\n"
         "retries=6\n",
         {{"tarn.retries", "5"}},
         "Error during options parsing: [^\n]*'tarn\\.retries'[^\n]*\n"},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedWorkDir dir;
        dir.writeFile("tarn.cfg", c.file);
        Loaded loaded;
        EXPECT_EQ(loaded.out, READING);
        if (c.errPattern.empty()) {
            EXPECT_EQ(loaded.err, "");
        } else {
            EXPECT_TRUE(std::regex_match(loaded.err, std::regex(c.errPattern))) << loaded.err;
        }
        EXPECT_EQ(loaded.config.getValues(), c.expected);
    }
}

TEST(ConfiguratorImpl, ContentFromAStreamAddsToTheValuesSilently) {
    std::istringstream content("tarn.retries=3\ntarn.foo=1\n[tarn]\naddr.1=10.0.0.1\n");
    Values values{{"tarn.retries", "9"}, {"tarn.logdir", "logs"}};
    ConsoleCapture console;
    ConfiguratorImpl::readConfig(content, values);
    EXPECT_EQ(console.stdOut(), "");
    EXPECT_EQ(console.stdErr(), "");
    EXPECT_EQ(values, (Values{{"tarn.retries", "3"}, {"tarn.logdir", "logs"}, {"tarn.addr.1", "10.0.0.1"}}));
}

TEST(ConfiguratorImpl, NumbersFromTheFileGoThroughTheGetters) {
    ScopedWorkDir dir;
    dir.writeFile("tarn.cfg",
                  "tarn.retries = 5\n"
                  "tarn.port.1 = five\n"
                  "tarn.timeout.nat = 2147483648\n"
                  "tarn.debug = 0\n");
    Loaded loaded;
    ConfiguratorImpl& config = loaded.config;
    EXPECT_EQ(config.getInt("tarn.retries", 2, true), 5);
    // Not the default: a value that is there but not a number reads as 0.
    EXPECT_EQ(config.getInt("tarn.port.1", 13434, true), 0);
    EXPECT_EQ(config.getLong("tarn.timeout.nat", 500, true), 0);
    EXPECT_TRUE(config.hasValue("tarn.debug"));
    // Reading a present key never replaces its text.
    EXPECT_EQ(config.getString("tarn.port.1"), "five");
}

TEST(ConfiguratorImpl, NumericGettersReadTheLeadingNumberWithinThirtyTwoBits) {
    struct Case {
        std::string text;
        long expected;
    };
    const std::vector<Case> cases = {
        {"5", 5},
        {"  42", 42},
        {"\t\n8", 8},
        {"-12", -12},
        {"+3", 3},
        {"7 apples", 7},
        {"3.9", 3},
        {"0x1F", 0},
        {"five", 0},
        {"", 0},
        {"   ", 0},
        {"-", 0},
        {"2147483647", 2147483647L},
        {"-2147483648", -2147483648L},
        {"2147483648", 0},
        {"-2147483649", 0},
        {"99999999999999999999", 0},
        {"007", 7},
    };
    ConfiguratorImpl config;
    for (const Case& c : cases) {
        SCOPED_TRACE("value '" + c.text + "'");
        config.setValue("tarn.retries", c.text);
        EXPECT_EQ(config.getLong("tarn.retries", 77, true), c.expected);
        EXPECT_EQ(config.getInt("tarn.retries", 77, true), static_cast<int>(c.expected));
        EXPECT_EQ(config.getString("tarn.retries"), c.text);
    }
}

TEST(ConfiguratorImpl, AbsentKeyReturnsDefaultAndStoresItOnlyWhenAsked) {
    struct Case {
        const char* what;
        std::function<std::string(ConfiguratorImpl&)> read;  // the result as text
        std::string expected;
        bool stored;
        std::string storedText;
    };
    const std::string key = "tarn.timeout.nat";
    const std::vector<Case> cases = {
        {"getLong stores", [&](ConfiguratorImpl& c) { return std::to_string(c.getLong(key, 500, true)); },
         "500", true, "500"},
        {"getLong negative", [&](ConfiguratorImpl& c) { return std::to_string(c.getLong(key, -5, true)); },
         "-5", true, "-5"},
        {"getLong without storing",
         [&](ConfiguratorImpl& c) { return std::to_string(c.getLong(key, 500, false)); }, "500", false, ""},
        {"getInt stores", [&](ConfiguratorImpl& c) { return std::to_string(c.getInt(key, 13434, true)); },
         "13434", true, "13434"},
        {"getInt extreme",
         [&](ConfiguratorImpl& c) { return std::to_string(c.getInt(key, -2147483647 - 1, true)); },
         "-2147483648", true, "-2147483648"},
        {"getInt without storing",
         [&](ConfiguratorImpl& c) { return std::to_string(c.getInt(key, 2, false)); }, "2", false, ""},
        {"getString stores", [&](ConfiguratorImpl& c) { return c.getString(key, "./", true); }, "./", true,
         "./"},
        {"getString stores an empty default", [&](ConfiguratorImpl& c) { return c.getString(key, "", true); },
         "", true, ""},
        {"getString without storing", [&](ConfiguratorImpl& c) { return c.getString(key, "x", false); }, "x",
         false, ""},
        {"getString of the key only", [&](ConfiguratorImpl& c) { return c.getString(key); }, "", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfiguratorImpl config;
        EXPECT_EQ(c.read(config), c.expected);
        EXPECT_EQ(config.hasValue(key), c.stored);
        if (c.stored) {
            EXPECT_EQ(config.getValues(), (Values{{key, c.storedText}}));
        } else {
            EXPECT_TRUE(config.getValues().empty());
        }
    }
}

TEST(ConfiguratorImpl, SettersMergeReplaceAndCountPresenceOnly) {
    ConfiguratorImpl config;
    config.setValue("tarn.addr.1", "10.0.0.1");
    config.setValue("tarn.retries", "2");
    config.setValue("tarn.retries", "3");
    config.setValues({{"tarn.retries", "4"}, {"tarn.debug", ""}});
    EXPECT_EQ(config.getValues(),
              (Values{{"tarn.addr.1", "10.0.0.1"}, {"tarn.retries", "4"}, {"tarn.debug", ""}}));
    EXPECT_TRUE(config.hasValue("tarn.debug"));
    EXPECT_FALSE(config.hasValue("tarn.loglevel"));

    // The map handed out is the store itself.
    config.getValues()["tarn.loglevel"] = "warn";
    config.getValues().erase("tarn.addr.1");
    EXPECT_EQ(config.getString("tarn.loglevel"), "warn");
    EXPECT_FALSE(config.hasValue("tarn.addr.1"));

    config.setValues({});
    EXPECT_EQ(config.getValues().size(), 3u);
}

TEST(ConfiguratorImpl, ShutdownClearsAndInitRereadsTheChosenFile) {
    ScopedWorkDir dir;
    dir.writeFile("tarn.cfg", "tarn.retries=5\n");
    Loaded loaded;
    ConfiguratorImpl& config = loaded.config;
    ASSERT_EQ(config.getString("tarn.retries"), "5");

    ConsoleCapture console;
    // A second init on an initialized service reads nothing.
    EXPECT_TRUE(config.init());
    EXPECT_EQ(console.stdOut(), "");

    dir.writeFile("other.cfg", "tarn.retries=9\n");
    config.setValue("tarn.addr.1", "10.0.0.1");
    config.setConfigFile("other.cfg");
    EXPECT_EQ(config.getString("tarn.retries"), "5");
    EXPECT_EQ(console.stdOut(), "");

    config.shutdown();
    EXPECT_FALSE(config.isInitialized());
    EXPECT_TRUE(config.getValues().empty());

    EXPECT_TRUE(config.init());
    EXPECT_EQ(console.stdOut(), "Reading in config values from 'other.cfg'\n");
    EXPECT_EQ(console.stdErr(), "");
    EXPECT_EQ(config.getValues(), (Values{{"tarn.retries", "9"}}));

    // The chosen path survives a shutdown; a file that went away leaves the map empty.
    boost::filesystem::remove(dir.path() / "other.cfg");
    console.clear();
    config.shutdown();
    EXPECT_TRUE(config.init());
    EXPECT_EQ(console.stdErr(), "Cannot read 'other.cfg'\n");
    EXPECT_TRUE(config.getValues().empty());
}

TEST(ConfiguratorImpl, InitStartsFromAnEmptyMap) {
    ScopedWorkDir dir;
    dir.writeFile("tarn.cfg", "tarn.retries=5\n");
    ConfiguratorImpl config;
    config.setValue("tarn.addr.1", "set before init");
    ConsoleCapture console;
    EXPECT_TRUE(config.init());
    EXPECT_EQ(config.getValues(), (Values{{"tarn.retries", "5"}}));
}

TEST(ConfiguratorImpl, ReadConfigFileReplacesOnlyTheKeysItFinds) {
    ScopedWorkDir dir;
    dir.writeFile("game.cfg", "tarn.retries=2\n");
    Values values{{"tarn.retries", "1"}, {"host.key", "kept"}};
    ConsoleCapture console;
    ConfiguratorImpl::readConfigFile((dir.path() / "game.cfg").string(), values);
    EXPECT_EQ(values, (Values{{"tarn.retries", "2"}, {"host.key", "kept"}}));
    EXPECT_EQ(console.stdOut(),
              "Reading in config values from '" + (dir.path() / "game.cfg").string() + "'\n");
}
