// Hosts of other languages built against the staged install and run as the separate processes
// games are: two C hosts reach each other through the staged tarn-rendezvous, and the Python
// example discovers through ctypes.
#include <signal.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TempDir.h"

using tarn::test::ChildProcess;
using tarn::test::TempDir;
using ::testing::HasSubstr;

namespace {

// Bounds each wait for a line or an exit: far beyond a loopback discovery and pass.
constexpr int kWaitMs = 30000;

// The staged tarn-rendezvous on loopback, on ports the system picks; stopped by its pid.
class Rendezvous {
public:
    Rendezvous()
        : process({TARN_STAGE "/bin/tarn-rendezvous", "--addr1", "127.0.0.1", "--addr2", "127.0.0.2",
                   "--port1", "0", "--port2", "0", "--stats-interval", "0"}) {
        static const std::regex started(R"(^tarn-rendezvous listening on \S+:(\d+) \S+:(\d+) .*)");
        std::string line;
        std::smatch match;
        if (!process.readLine(line, kWaitMs) || !std::regex_match(line, match, started)) {
            ADD_FAILURE() << "tarn-rendezvous did not start: " << line;
            return;
        }
        settings = {"tarn.addr.1=127.0.0.1",         "tarn.addr.2=127.0.0.2",
                    "tarn.port.1=" + match[1].str(), "tarn.port.2=" + match[2].str(),
                    "tarn.timeout.discovery=300",    "tarn.logconsole=0"};
    }

    ~Rendezvous() {
        if (process.processId() > 0) {
            ::kill(process.processId(), SIGTERM);
            process.exitCode(kWaitMs);
        }
    }

    // The configuration that points a host at this server, as key=value arguments.
    std::vector<std::string> settings;

private:
    ChildProcess process;
};

// A host program in a directory of its own (its log goes there), with its standard input piped.
std::unique_ptr<ChildProcess> startHost(std::vector<std::string> args, const TempDir& dir) {
    ChildProcess::Options options;
    options.workDir = dir.str();
    options.input = true;
    options.errorFile = dir.str() + "/stderr.txt";
    auto host = std::make_unique<ChildProcess>(std::move(args), options);
    EXPECT_TRUE(host->started()) << "cannot start " << args[0];
    return host;
}

}  // namespace

TEST(CHost, TwoProcessesReachEachOtherDirectlyOneBlockingOneFromAGameLoop) {
    Rendezvous server;
    ASSERT_FALSE(server.settings.empty());
    TempDir dirs[2];
    std::unique_ptr<ChildProcess> hosts[2];
    const std::vector<std::string> starts[2] = {{TARN_C_HOST, "101", "match-1"},
                                                {TARN_C_HOST, "--async", "102", "match-1"}};
    for (int i = 0; i < 2; ++i) {
        std::vector<std::string> args = starts[i];
        args.insert(args.end(), server.settings.begin(), server.settings.end());
        // Rounds long enough that the later of the two still finds the other listening.
        args.push_back("tarn.timeout.private=4000");
        hosts[i] = startHost(args, dirs[i]);
    }
    std::string players[2];
    for (int i = 0; i < 2; ++i) {
        // The library's start-up notice shares standard output with the host.
        while (players[i].rfind("player ", 0) != 0) {
            ASSERT_TRUE(hosts[i]->readLine(players[i], kWaitMs)) << dirs[i].readFile("stderr.txt");
        }
        EXPECT_THAT(players[i], HasSubstr("player " + std::to_string(101 + i) + " 1 1 0 "));
    }
    // Each learns of the other, as a lobby would tell it.
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(hosts[i]->write(players[1 - i] + "\n\n"));
        hosts[i]->closeInput();
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(starts[i][1]);
        EXPECT_EQ(hosts[i]->exitCode(kWaitMs), 0) << dirs[i].readFile("stderr.txt");
        const std::string& out = hosts[i]->output();
        EXPECT_THAT(out, HasSubstr("result " + std::to_string(101 + i) + " SELF\n"));
        EXPECT_THAT(out, HasSubstr("result " + std::to_string(102 - i) + " DIRECT_"));
        EXPECT_THAT(dirs[i].readFile("stderr.txt"),
                    HasSubstr("report P2P::UpdateP2PInfo sessionId=match-1 failures=0"));
    }
    EXPECT_THAT(hosts[1]->output(), HasSubstr("frames "));
}

TEST(CHost, PythonLoadsTheLibraryThroughCtypesAndDiscovers) {
    Rendezvous server;
    ASSERT_FALSE(server.settings.empty());
    TempDir dir;
    std::vector<std::string> args = {TARN_PYTHON, TARN_PYTHON_EXAMPLE, "--library", TARN_STAGED_LIBRARY};
    args.insert(args.end(), server.settings.begin(), server.settings.end());
    std::unique_ptr<ChildProcess> host = startHost(args, dir);
    host->closeInput();
    EXPECT_EQ(host->exitCode(kWaitMs), 0) << dir.readFile("stderr.txt");
    EXPECT_THAT(host->output(), HasSubstr("report P2P::SetNatType userId=python-user localIp="));
    EXPECT_THAT(host->output(), HasSubstr("nat NONE, NOT SENSITIVE, increment 0\n"));
}
