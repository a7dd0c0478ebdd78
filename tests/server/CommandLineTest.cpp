#include "tarn/server/CommandLine.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using Outcome = CommandLine::Outcome;

Outcome parse(std::vector<std::string> args, ServerConfig& config, std::string& message) {
    args.insert(args.begin(), "tarn-rendezvous");
    std::vector<const char*> argv;
    for (const auto& arg : args) {
        argv.push_back(arg.c_str());
    }
    return CommandLine::parse(static_cast<int>(argv.size()), argv.data(), config, message);
}

// A configuration file in the test's working directory, removed again at the end of the test.
class ConfigFile {
public:
    explicit ConfigFile(const std::string& text, const std::string& name = "cfg")
        : path_("server-test-" + std::to_string(::getpid()) + "." + name) {
        std::ofstream(path_) << text;
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(CommandLine, NoArgumentsGiveTheDefaults) {
    ServerConfig config;
    std::string message;
    ASSERT_EQ(parse({}, config, message), Outcome::RUN) << message;
    EXPECT_EQ(config.addr1, "127.0.0.1");
    EXPECT_EQ(config.addr2, "127.0.0.2");
    EXPECT_EQ(config.port1, 13434);
    EXPECT_EQ(config.port2, 13435);
    EXPECT_EQ(config.allowWindowSeconds, 600u);
    EXPECT_EQ(config.maxTargets, 32u);
    EXPECT_EQ(config.maxReflected, 64u);
    EXPECT_FALSE(config.statsJson);
}

TEST(CommandLine, EveryOptionReachesItsField) {
    ServerConfig config;
    std::string message;
    ASSERT_EQ(parse({"--addr1",          "198.51.100.1",
                     "--addr2",          "203.0.113.1",
                     "--port1",          "3478",
                     "--port2",          "3479",
                     "--threads",        "3",
                     "--batch",          "16",
                     "--socket-buffer",  "0",
                     "--allow-window",   "60",
                     "--allow-table",    "100",
                     "--max-targets",    "4",
                     "--max-reflected",  "0",
                     "--bind-rate",      "2.5",
                     "--bind-burst",     "7",
                     "--relay-rate",     "0",
                     "--relay-burst",    "3",
                     "--rate-table",     "50",
                     "--stats-interval", "0",
                     "--stats-json",     "--verbose"},
                    config, message),
              Outcome::RUN)
        << message;
    EXPECT_EQ(config.addr1, "198.51.100.1");
    EXPECT_EQ(config.addr2, "203.0.113.1");
    EXPECT_EQ(config.port1, 3478);
    EXPECT_EQ(config.port2, 3479);
    EXPECT_EQ(config.threads, 3u);
    EXPECT_EQ(config.batch, 16u);
    EXPECT_EQ(config.socketBuffer, 0u);
    EXPECT_EQ(config.allowWindowSeconds, 60u);
    EXPECT_EQ(config.allowTableSize, 100u);
    EXPECT_EQ(config.maxTargets, 4u);
    EXPECT_EQ(config.maxReflected, 0u);
    EXPECT_DOUBLE_EQ(config.bindRate, 2.5);
    EXPECT_DOUBLE_EQ(config.bindBurst, 7);
    EXPECT_DOUBLE_EQ(config.relayRate, 0);
    EXPECT_DOUBLE_EQ(config.relayBurst, 3);
    EXPECT_EQ(config.rateTableSize, 50u);
    EXPECT_EQ(config.statsIntervalSeconds, 0u);
    EXPECT_TRUE(config.statsJson);
    EXPECT_TRUE(config.verbose);
}

TEST(CommandLine, BadValuesAreRefusedWithTheReason) {
    const ConfigFile shortSecret("fifteen bytes..\n", "secret");
    const struct {
        std::vector<std::string> args;
        const char* mentions;
    } rows[] = {
        {{"--port1", "-1"}, "--port1"},
        {{"--port2", "65536"}, "--port2"},
        {{"--port1", "80x"}, "port1"},
        {{"--addr1", "localhost"}, "--addr1"},
        {{"--addr2", "0.0.0.0"}, "--addr2"},
        {{"--addr2", "224.0.0.1"}, "--addr2"},
        {{"--addr1", "127.0.0.2"}, "must differ"},
        {{"--port1", "5000", "--port2", "5000"}, "must differ"},
        {{"--batch", "0"}, "--batch"},
        {{"--max-targets", "0"}, "--max-targets"},
        {{"--max-reflected", "1025"}, "--max-reflected"},
        {{"--bind-rate", "-1"}, "rates"},
        {{"--relay-burst", "0"}, "bursts"},
        {{"--threads", "257"}, "--threads"},
        {{"--unknown"}, "unknown"},
        {{"--port1"}, "port1"},
        {{"--config", "/nonexistent/server.cfg"}, "/nonexistent/server.cfg"},
        {{"--relay", "5"}, "matches 'relay-rate' 'relay-burst'"},
        {{"--shared-store", "10.0.0.5:6379"}, "HOST:PORT[/DB]"},
        {{"--shared-store", "redis://10.0.0.5"}, "HOST:PORT[/DB]"},
        {{"--shared-store", "redis://:6379"}, "HOST:PORT[/DB]"},
        {{"--shared-store", "redis://10.0.0.5:6379/"}, "HOST:PORT[/DB]"},
        {{"--shared-store", "redis://10.0.0.5:6379/x"}, "HOST:PORT[/DB]"},
        {{"--shared-store", "redis://user@10.0.0.5:6379"}, "HOST:PORT[/DB]"},
        {{"--shared-store", "redis://10.0.0.5:0"}, "between 1 and 65535"},
        {{"--shared-store", "redis://10.0.0.5:65536"}, "between 1 and 65535"},
        {{"--shared-store", "redis://:@10.0.0.5:6379"}, "redis://:***@10.0.0.5:6379"},
        {{"--shared-store", "redis://10.0.0.5:6379"}, "needs --fleet-secret-file"},
        {{"--shared-store", "redis://10.0.0.5:6379", "--fleet-secret-file", shortSecret.path()},
         "at least 16"},
        {{"--fleet-secret-file", "/nonexistent/secret"}, "/nonexistent/secret"},
        {{"--shared-store-password-file", "/nonexistent/password"}, "/nonexistent/password"},
        {{"--fleet-rate", "-1"}, "--fleet-rate"},
        {{"--store-write-burst", "0"}, "--store-write-rate"},
        {{"--store-wait", "0"}, "--store-wait"},
        {{"--store-wait", "1001"}, "--store-wait"},
    };
    for (const auto& row : rows) {
        ServerConfig config;
        std::string message;
        EXPECT_EQ(parse(row.args, config, message), Outcome::ERROR) << row.args[0];
        EXPECT_NE(message.find(row.mentions), std::string::npos) << row.args[0] << ": " << message;
    }
}

// The options library's own error text would insert these again and again, for ever.
TEST(CommandLine, TextHoldingAnErrorPlaceholderIsQuotedAsItStands) {
    const struct {
        std::vector<std::string> args;
        const char* configFile;
        const char* mentions;
    } rows[] = {
        {{"--%canonical_option%"}, "", "'--%canonical_option%'"},
        {{"--port1=%value%"}, "", "('%value%')"},
        {{"--addr1", "%value%"}, "", "%value%"},
        {{}, "%invalid_line%\n", "'%invalid_line%'"},
        {{}, "%canonical_option% = 1\n", "'%canonical_option%'"},
    };
    for (const auto& row : rows) {
        ConfigFile file(row.configFile);
        std::vector<std::string> args = row.args;
        if (*row.configFile != '\0') {
            args = {"--config", file.path()};
        }
        ServerConfig config;
        std::string message;
        EXPECT_EQ(parse(args, config, message), Outcome::ERROR) << row.mentions;
        EXPECT_NE(message.find(row.mentions), std::string::npos) << row.mentions << ": " << message;
    }
}

TEST(CommandLine, HelpListsEveryOption) {
    ServerConfig config;
    std::string message;
    ASSERT_EQ(parse({"--port1", "1", "--help"}, config, message), Outcome::HELP);
    std::istringstream options(
        "--addr1 --addr2 --port1 --port2 --threads --batch --socket-buffer --allow-window --allow-table "
        "--max-targets --max-reflected --bind-rate --bind-burst --relay-rate --relay-burst --rate-table "
        "--stats-interval --stats-json --verbose --config --help --shared-store --store-wait --version "
        "--fleet-secret-file --shared-store-password-file --fleet-rate --fleet-burst --store-write-rate");
    for (std::string option; options >> option;) {
        EXPECT_NE(message.find(option), std::string::npos) << option;
    }
}

TEST(CommandLine, VersionIsPrintedAndEndsTheRun) {
    ServerConfig config;
    std::string message;
    ASSERT_EQ(parse({"--version"}, config, message), Outcome::HELP);
    EXPECT_EQ(message.rfind("tarn-rendezvous 1.", 0), 0u) << message;
}

TEST(CommandLine, SharedStoreAddressesAreSplitIntoHostPortAndDatabase) {
    const struct {
        const char* text;
        const char* host;
        unsigned short port;
        unsigned db;
        const char* password;
        const char* shown;
    } rows[] = {
        {"redis://10.0.0.5:6379", "10.0.0.5", 6379, 0, "", "redis://10.0.0.5:6379"},
        {"redis://store.example:6380/3", "store.example", 6380, 3, "", "redis://store.example:6380/3"},
        {"redis://[2001:db8::5]:6379/0", "2001:db8::5", 6379, 0, "", "redis://[2001:db8::5]:6379/0"},
        // The password may hold '@', ':' and '/'; messages never show it.
        {"redis://:pa@ss:w/rd@10.0.0.5:6379/1", "10.0.0.5", 6379, 1, "pa@ss:w/rd",
         "redis://:***@10.0.0.5:6379/1"},
    };
    const ConfigFile secret("the fleet's secret, 33 bytes long\n", "secret");
    for (const auto& row : rows) {
        ServerConfig config;
        std::string message;
        ASSERT_EQ(parse({"--shared-store", row.text, "--fleet-secret-file", secret.path()}, config, message),
                  Outcome::RUN)
            << message;
        EXPECT_EQ(config.storeHost, row.host);
        EXPECT_EQ(config.storePort, row.port);
        EXPECT_EQ(config.storeDb, row.db);
        EXPECT_EQ(config.storePassword, row.password);
        EXPECT_EQ(config.sharedStore, row.shown);
        EXPECT_EQ(config.fleetSecret, "the fleet's secret, 33 bytes long");
    }
}

TEST(CommandLine, SentinelAddressesNameEverySentinelAndTheMaster) {
    const struct {
        const char* text;
        const char* sentinels;  // "HOST PORT;" each
        const char* master;
        unsigned db;
        const char* problem;
    } rows[] = {
        {"redis+sentinel://10.0.0.5:26379/tarn", "10.0.0.5 26379;", "tarn", 0, ""},
        {"redis+sentinel://:pw@s.example:26379,[2001:db8::5]:26380,10.0.0.7:26381/tarn-1.a_b/2",
         "s.example 26379;2001:db8::5 26380;10.0.0.7 26381;", "tarn-1.a_b", 2, ""},
        {"redis+sentinel://10.0.0.5:26379", "", "", 0, "--shared-store takes"},
        {"redis+sentinel://10.0.0.5:26379,/tarn", "", "", 0, "--shared-store takes"},
        {"redis+sentinel://10.0.0.5:26379/ta@rn/1", "", "", 0, "--shared-store takes"},
        {"redis+sentinel://10.0.0.5:26379/tarn/1/2", "", "", 0, "--shared-store takes"},
        {"redis+sentinel://10.0.0.5:0/tarn", "", "", 0, "--shared-store port must lie"},
        {"redis://10.0.0.5:6379,10.0.0.6:6379", "", "", 0, "--shared-store takes"},
    };
    const ConfigFile secret("the fleet's secret, 33 bytes long\n", "secret");
    ::setenv("TARN_SENTINEL_PASSWORD", "the sentinels' password", 1);
    for (const auto& row : rows) {
        ServerConfig config;
        std::string message;
        const auto outcome =
            parse({"--shared-store", row.text, "--fleet-secret-file", secret.path()}, config, message);
        EXPECT_EQ(message.rfind(row.problem, 0), 0u) << message;
        EXPECT_EQ(outcome, row.problem[0] == '\0' ? Outcome::RUN : Outcome::ERROR) << row.text;
        std::string sentinels;
        for (const auto& [host, port] : config.storeSentinels) {
            sentinels += host + " " + std::to_string(port) + ";";
        }
        EXPECT_EQ(sentinels, row.sentinels);
        EXPECT_EQ(config.storeMaster, row.master);
        EXPECT_EQ(config.storeDb, row.db);
        EXPECT_EQ(config.storeHost, "");
        EXPECT_EQ(config.sentinelPassword, row.problem[0] == '\0' ? "the sentinels' password" : "");
    }
    ::unsetenv("TARN_SENTINEL_PASSWORD");
}

TEST(CommandLine, StorePasswordFromAFileOrTheEnvironmentBeforeTheUrl) {
    const ConfigFile secret("the fleet's secret, 33 bytes long\n", "secret");
    const ConfigFile password("from the file\nsecond line\n", "password");
    // Environment (empty: not set), with the file or not, and the password taken.
    for (const auto& [environment, file, expected] :
         {std::tuple<const char*, bool, const char*>{"", false, "url"},
          {"environment", false, "environment"},
          {"environment", true, "from the file"}}) {
        ::setenv("TARN_STORE_PASSWORD", environment, 1);
        std::vector<std::string> args{"--shared-store", "redis://:url@10.0.0.5:6379",   "--fleet-secret-file",
                                      secret.path(),    "--shared-store-password-file", password.path()};
        ServerConfig config;
        std::string message;
        EXPECT_EQ(parse({args.begin(), args.end() - (file ? 0 : 2)}, config, message), Outcome::RUN)
            << message;
        EXPECT_EQ(config.storePassword, expected);
        ::unsetenv("TARN_STORE_PASSWORD");
    }
}

TEST(CommandLine, ConfigFileSetsValuesAndTheCommandLineWins) {
    const ConfigFile secret("the fleet's secret, 33 bytes long\n", "secret");
    ConfigFile file(
        "# two public addresses\n"
        "addr1 = 198.51.100.1\n"
        "addr2 = 203.0.113.1\n"
        "port1 = 3478\n"
        "stats-json = true\n"
        "max-targets = 8\n"
        "shared-store = redis://10.0.0.5:6379/2\n"
        "fleet-secret-file = " +
        secret.path() +
        "\n"
        "store-wait = 20\n");
    ServerConfig config;
    std::string message;
    ASSERT_EQ(parse({"--config", file.path(), "--port1", "4000"}, config, message), Outcome::RUN) << message;
    EXPECT_EQ(config.addr1, "198.51.100.1");
    EXPECT_EQ(config.addr2, "203.0.113.1");
    EXPECT_EQ(config.port1, 4000);
    EXPECT_EQ(config.port2, 13435);
    EXPECT_EQ(config.maxTargets, 8u);
    EXPECT_TRUE(config.statsJson);
    EXPECT_EQ(config.storeDb, 2u);
    EXPECT_EQ(config.storeWaitMs, 20u);
}

TEST(CommandLine, ConfigFileWithAnUnknownKeyIsRefused) {
    ConfigFile file("port1 = 3478\nportx = 1\n");
    ServerConfig config;
    std::string message;
    EXPECT_EQ(parse({"--config", file.path()}, config, message), Outcome::ERROR);
    EXPECT_NE(message.find("portx"), std::string::npos) << message;
}

}  // namespace
}  // namespace server
}  // namespace tarn
