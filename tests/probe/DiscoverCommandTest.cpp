#include <signal.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "Occurrences.h"
#include "ProbeWorkDir.h"
#include "RealRendezvous.h"

using tarn::test::ChildProcess;
using tarn::test::ProbeWorkDir;
using tarn::test::RealRendezvous;
using tarn::test::stagedProbe;

namespace {

// Long enough for a discovery that meets silence on every local address several times over.
const int RUN_TIMEOUT_MS = 60000;

struct ProbeRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the staged probe in dir and collects both output streams; a run that outlives the bound
// is killed by its pid and fails the test.
ProbeRun runProbe(const ProbeWorkDir& dir, std::vector<std::string> args) {
    ProbeRun run;
    ChildProcess::Options options;
    options.workDir = dir.str();
    options.errorPipe = true;
    ChildProcess probe(stagedProbe(std::move(args)), options);
    if (!probe.started()) {
        ADD_FAILURE() << "tarn-probe did not start";
        return run;
    }
    if (!probe.readToEnd(ChildProcess::Clock::now() + std::chrono::milliseconds(RUN_TIMEOUT_MS))) {
        ADD_FAILURE() << "tarn-probe did not finish in time";
    } else {
        run.exitCode = probe.exitCode(0);
    }
    run.out = probe.output();
    run.err = probe.errors();
    return run;
}

std::string serverConfig(int port1, int port2) {
    return "[tarn]\naddr.1 = 127.0.0.1\naddr.2 = 127.0.0.2\nport.1 = " + std::to_string(port1) +
           "\nport.2 = " + std::to_string(port2) + "\ntimeout.discovery = 100\n";
}

int count(const std::string& text, const std::string& piece) {
    return static_cast<int>(tarn::test::occurrences(text, piece));
}

}  // namespace

TEST(DiscoverCommand, EmbeddedServerWhenNoneIsConfigured) {
    ProbeWorkDir dir;
    const ProbeRun run = runProbe(dir, {"discover"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(
        run.out.find("No rendezvous server configured: started tarn-rendezvous for this run on 127.0.0.1 "
                     "and 127.0.0.2"),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("NAT type:         NONE\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("NAT behaviour:    NOT SENSITIVE\n"
                           "NAT mapping:      endpoint-independent\n"
                           "NAT filtering:    endpoint-independent\n"
                           "Port increment:   0\n"
                           "Discovery took:   "),
              std::string::npos)
        << run.out;
    // Milliseconds to a tenth.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nDiscovery took:   [0-9]+\\.[0-9] ms\n"))) << run.out;
    EXPECT_NE(run.out.find("Valid:            yes\n"), std::string::npos);
    EXPECT_NE(run.out.find("Meaning:          No NAT"), std::string::npos);
    EXPECT_NE(run.out.find("Meta service received P2P::SetNatType (8 pairs): userId=tarn-probe "),
              std::string::npos);
    EXPECT_NE(run.out.find("Report:           P2P::SetNatType delivered (return code 0)\n"),
              std::string::npos);
    // The library's console lines go to standard error; the log file is written as usual.
    EXPECT_EQ(run.out.find("[INFO]"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("[CHECKPOINT@CONNSVR_INIT]"), std::string::npos) << run.err;
    EXPECT_NE(dir.read("tarn.log").find("[CHECKPOINT@DSCVR] DETECTED LOCAL TOPOLOGY = [NAT=[type=NONE"),
              std::string::npos);

    // The embedded server is gone with the probe.
    const std::size_t pidAt = run.out.find("(pid ");
    ASSERT_NE(pidAt, std::string::npos);
    const pid_t server = static_cast<pid_t>(std::stol(run.out.substr(pidAt + 5)));
    ASSERT_GT(server, 0);
    EXPECT_EQ(kill(server, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(DiscoverCommand, JsonIsTheOnlyOutputAndCarriesTopologyAndReport) {
    ProbeWorkDir dir;
    const ProbeRun run = runProbe(dir, {"discover", "--json", "--user-id", "player-7"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    nlohmann::json object;
    ASSERT_NO_THROW(object = nlohmann::json::parse(run.out)) << run.out;
    ASSERT_TRUE(object.is_object());
    EXPECT_EQ(object["valid"], true);
    EXPECT_EQ(object["natType"], "NONE");
    EXPECT_EQ(object["natTypeCode"], 1);
    EXPECT_EQ(object["natBehavior"], "NOT SENSITIVE");
    EXPECT_EQ(object["natMapping"], "endpoint-independent");
    EXPECT_EQ(object["natMappingCode"], 1);
    EXPECT_EQ(object["natFiltering"], "endpoint-independent");
    EXPECT_EQ(object["natFilteringCode"], 1);
    EXPECT_EQ(object["natIncrement"], 0);
    ASSERT_TRUE(object["discoveryMs"].is_number());
    EXPECT_GT(object["discoveryMs"].get<double>(), 0.0);
    EXPECT_LT(object["discoveryMs"].get<double>(), 30000.0);
    EXPECT_EQ(object["publicAddr"], object["localAddr"]);
    EXPECT_EQ(object["publicPort"], object["localPort"]);
    EXPECT_GT(object["localPort"].get<int>(), 0);
    EXPECT_EQ(object["rendezvous"]["embedded"], true);
    EXPECT_EQ(object["exitCode"], 0);
    EXPECT_FALSE(object.contains("error"));

    const nlohmann::json& report = object["report"];
    EXPECT_EQ(report["featurette"], "P2P");
    EXPECT_EQ(report["method"], "SetNatType");
    EXPECT_EQ(report["returnCode"], 0);
    const nlohmann::json& parameters = report["parameters"];
    EXPECT_EQ(parameters.size(), 8u);
    EXPECT_EQ(parameters["userId"], "player-7");
    EXPECT_EQ(parameters["localIp"], object["localAddr"]);
    EXPECT_EQ(parameters["localPort"], std::to_string(object["localPort"].get<int>()));
    EXPECT_EQ(parameters["publicIp"], object["publicAddr"]);
    EXPECT_EQ(parameters["natType"], "1");
    EXPECT_EQ(parameters["natBehavior"], "1");
    EXPECT_EQ(parameters["natIncrement"], "0");
    // The report's echo and the server notice go to standard error with the log lines.
    EXPECT_NE(run.err.find("Meta service received P2P::SetNatType"), std::string::npos);
    EXPECT_NE(run.err.find("No rendezvous server configured"), std::string::npos);
}

TEST(DiscoverCommand, ConfiguredServerIsUsedAndOptionsOverrideIt) {
    RealRendezvous configured;
    RealRendezvous stopped;
    stopped.stop();

    ProbeWorkDir fromFile;
    fromFile.write("tarn.cfg", serverConfig(configured.port1(), configured.port2()));
    const ProbeRun viaFile = runProbe(fromFile, {"discover", "--json"});
    ASSERT_EQ(viaFile.exitCode, 0) << viaFile.err;
    const nlohmann::json fileResult = nlohmann::json::parse(viaFile.out);
    EXPECT_EQ(fileResult["rendezvous"]["embedded"], false);
    EXPECT_EQ(fileResult["rendezvous"]["port1"], configured.port1());
    EXPECT_EQ(fileResult["rendezvous"]["port2"], configured.port2());
    EXPECT_EQ(fileResult["natType"], "NONE");

    // The file names a silent server; the options point at the live one.
    ProbeWorkDir overridden;
    overridden.write("tarn.cfg", serverConfig(stopped.port1(), stopped.port2()));
    const ProbeRun viaOptions =
        runProbe(overridden, {"discover", "--json", "--server", "127.0.0.1,127.0.0.2", "--ports",
                              std::to_string(configured.port1()) + "," + std::to_string(configured.port2())});
    ASSERT_EQ(viaOptions.exitCode, 0) << viaOptions.err;
    const nlohmann::json optionResult = nlohmann::json::parse(viaOptions.out);
    EXPECT_EQ(optionResult["rendezvous"]["port1"], configured.port1());
    EXPECT_EQ(optionResult["rendezvous"]["embedded"], false);
    EXPECT_EQ(optionResult["valid"], true);
}

TEST(DiscoverCommand, UnreachableServiceExitsWithThreeAfterOneSearch) {
    RealRendezvous stopped;
    stopped.stop();
    ProbeWorkDir dir;
    dir.write("tarn.cfg", serverConfig(stopped.port1(), stopped.port2()));
    const ProbeRun run = runProbe(dir, {"discover", "--json"});
    EXPECT_EQ(run.exitCode, 3) << run.err;
    const nlohmann::json object = nlohmann::json::parse(run.out);
    EXPECT_EQ(object["valid"], false);
    EXPECT_EQ(object["localAddr"], "0.0.0.0");
    // Nothing was measured.
    EXPECT_EQ(object["natMapping"], "unknown");
    EXPECT_EQ(object["natFiltering"], "unknown");
    EXPECT_TRUE(object["report"].is_null());
    EXPECT_EQ(object["exitCode"], 3);
    EXPECT_NE(object["error"].get<std::string>().find("did not answer"), std::string::npos);
    // The binding search ran once, in notifyLattice: no second initialization, no discovery, no report.
    const std::string log = dir.read("tarn.log");
    EXPECT_EQ(count(log, "[CHECKPOINT@CONNSVR_INIT]"), 1);
    EXPECT_EQ(count(log, "No binding address - ANY DISCOVERY/P2P ATTEMPTS WILL FAIL"), 1);
    EXPECT_EQ(count(log, "[TARNWrapper:notifyLattice004] Lattice NOT NOTIFIED"), 1);

    // The same in text form.
    const ProbeRun text = runProbe(dir, {"discover"});
    EXPECT_EQ(text.exitCode, 3);
    EXPECT_NE(text.out.find("Valid:            no\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Report:           none sent\n"), std::string::npos);
    EXPECT_NE(text.out.find("tarn-probe: the rendezvous service at 127.0.0.1:" +
                            std::to_string(stopped.port1()) + " did not answer"),
              std::string::npos);
}

TEST(DiscoverCommand, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"nosuchcommand"},
        {"discover", "--bogus"},
        {"discover", "extra"},
        {"discover", "--server", "127.0.0.1"},
        {"discover", "--server", "127.0.0.1,"},
        {"discover", "--ports", "13434"},
        {"discover", "--ports", "0,13435"},
        {"discover", "--ports", "13434,65536"},
        {"discover", "--ports", "13434,x"},
        {"discover", "--user-id"},
    };
    ProbeWorkDir dir;
    for (const auto& args : rows) {
        std::string line;
        for (const std::string& word : args) {
            line += word + " ";
        }
        SCOPED_TRACE(line);
        const ProbeRun run = runProbe(dir, args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find("Usage: tarn-probe"), std::string::npos) << run.err;
    }
    // Nothing ran: the library never wrote a log.
    EXPECT_EQ(dir.read("tarn.log"), "");

    const ProbeRun help = runProbe(dir, {"discover", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: tarn-probe discover [options]"), std::string::npos);
    EXPECT_NE(help.out.find("--json"), std::string::npos);
    const ProbeRun overview = runProbe(dir, {"--help"});
    EXPECT_EQ(overview.exitCode, 0);
    EXPECT_NE(overview.out.find("  discover  "), std::string::npos) << overview.out;
}
