#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "ProbeWorkDir.h"
#include "RealRendezvous.h"

using tarn::test::ChildProcess;
using tarn::test::ProbeWorkDir;
using tarn::test::RealRendezvous;
using tarn::test::stagedProbe;

namespace {

// Long enough for a discovery and a pass whose peers never answer.
const int STEP_TIMEOUT_MS = 30000;

// The staged probe running `session` in a directory of its own, its standard input and output
// on pipes and its standard error in the file stderr.txt there. Killed by its pid if it is still
// running when the object goes away.
class SessionProcess : public ChildProcess {
public:
    SessionProcess(const ProbeWorkDir& dir, std::vector<std::string> args)
        : ChildProcess(sessionCommand(std::move(args)), options(dir)) {
        if (!started()) {
            ADD_FAILURE() << "tarn-probe session did not start";
        }
    }

    bool readLine(std::string& line, int timeoutMs = STEP_TIMEOUT_MS) {
        return ChildProcess::readLine(line, timeoutMs);
    }

    void writeLine(const std::string& line) { EXPECT_TRUE(write(line + "\n")) << "short write: " << line; }

    int exitCode(int timeoutMs = STEP_TIMEOUT_MS) { return ChildProcess::exitCode(timeoutMs); }

private:
    static std::vector<std::string> sessionCommand(std::vector<std::string> args) {
        args.insert(args.begin(), "session");
        return stagedProbe(std::move(args));
    }

    static Options options(const ProbeWorkDir& dir) {
        Options result;
        result.workDir = dir.str();
        result.input = true;
        result.errorFile = dir.str() + "/stderr.txt";
        return result;
    }
};

std::string config(const RealRendezvous& server, const std::string& extra = "") {
    return "tarn.addr.1 = 127.0.0.1\ntarn.addr.2 = 127.0.0.2\ntarn.port.1 = " +
           std::to_string(server.port1()) + "\ntarn.port.2 = " + std::to_string(server.port2()) +
           "\ntarn.timeout.discovery = 300\n" + extra;
}

nlohmann::json parse(const std::string& line) {
    nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << line;
    return value;
}

TEST(SessionCommand, TwoSessionsOnOneMachineConnectPrivatelyWithinMilliseconds) {
    RealRendezvous server;
    ProbeWorkDir dirs[2];
    std::unique_ptr<SessionProcess> players[2];
    // A round that waited a fixed quarter of its time would take a whole second.
    for (int i = 0; i < 2; ++i) {
        dirs[i].write("tarn.cfg", config(server, "tarn.timeout.private = 4000\ntarn.timeout.nat = 4000\n"));
        players[i].reset(new SessionProcess(
            dirs[i], {"--client-id", std::to_string(101 + i), "--game", "match-5", "--json"}));
    }
    std::string lines[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(players[i]->readLine(lines[i])) << dirs[i].read("stderr.txt");
        const nlohmann::json player = parse(lines[i]);
        EXPECT_EQ(101 + i, player["identifier"]);
        EXPECT_TRUE(player["topology"]["valid"].get<bool>()) << lines[i];
    }
    // The orchestrator's part: every player gets every player's line.
    const std::string list = "[" + lines[0] + "," + lines[1] + "]";
    for (auto& player : players) {
        player->writeLine(list);
    }
    for (int i = 0; i < 2; ++i) {
        std::string line;
        ASSERT_TRUE(players[i]->readLine(line)) << dirs[i].read("stderr.txt");
        const nlohmann::json result = parse(line);
        EXPECT_EQ(0, players[i]->exitCode()) << line;
        EXPECT_EQ(0, result["exitCode"]);
        ASSERT_EQ(2u, result["peers"].size()) << line;
        EXPECT_EQ(i == 0 ? "SELF" : "DIRECT PRIVATE", result["peers"][0]["connection"]) << line;
        EXPECT_EQ(i == 1 ? "SELF" : "DIRECT PRIVATE", result["peers"][1]["connection"]) << line;
        EXPECT_LT(result["elapsedMs"].get<int>(), 500) << line;
        const nlohmann::json& report = result["report"];
        EXPECT_EQ("UpdateP2PInfo", report["method"]);
        EXPECT_EQ("match-5", report["parameters"]["sessionId"]);
        EXPECT_EQ("0", report["parameters"]["failures"]);
        EXPECT_EQ("2", report["parameters"]["peers"]);
        EXPECT_EQ(std::to_string(101 + i), report["parameters"]["personaId"]);
        EXPECT_TRUE(report["delivered"].get<bool>());
        // Standard output carried the probe's two lines and nothing else.
        std::string more;
        EXPECT_FALSE(players[i]->readLine(more, 1000)) << more;
    }
}

TEST(SessionCommand, PeerThatNeverAnswersIsReportedAsRelayInATable) {
    RealRendezvous server;
    ProbeWorkDir dir;
    dir.write("tarn.cfg", config(server, "tarn.timeout.private = 100\ntarn.timeout.nat = 100\n"));
    SessionProcess player(dir, {"--client-id", "-7", "--game", "g"});
    std::string line;
    ASSERT_TRUE(player.readLine(line)) << dir.read("stderr.txt");
    nlohmann::json self = parse(line);
    EXPECT_EQ(-7, self["identifier"]);
    // A player at an address where nobody listens, told by its code numbers.
    nlohmann::json absent = {{"identifier", 8},
                             {"topology",
                              {{"natTypeCode", 2},
                               {"natBehaviorCode", 1},
                               {"natIncrement", 0},
                               {"localAddr", "127.0.0.1"},
                               {"localPort", 9},
                               {"publicAddr", "127.0.0.1"},
                               {"publicPort", 9}}}};
    player.writeLine(nlohmann::json({{"peers", {self, absent}}}).dump());
    std::string table;
    for (std::string row; player.readLine(row);) {
        table += row + "\n";
    }
    EXPECT_EQ(0, player.exitCode()) << table << dir.read("stderr.txt");
    EXPECT_NE(std::string::npos, table.find("-7          SELF")) << table;
    EXPECT_NE(std::string::npos, table.find("8           RELAY             127.0.0.1:9")) << table;
    EXPECT_NE(std::string::npos, dir.read("tarn.log").find("UDP RELAY USAGE = 1 of 1 PEER(S)"));
}

TEST(SessionCommand, BadPeerListsAreUsageErrors) {
    RealRendezvous server;
    const std::string topology =
        R"("topology":{"natType":"FULL CONE","natBehavior":"NOT SENSITIVE","natIncrement":0,)"
        R"("localAddr":"10.0.0.2","localPort":4000,"publicAddr":"192.0.2.2","publicPort":4000})";
    struct Case {
        const char* input;  // nullptr: standard input ends first
        const char* error;
    };
    const std::vector<Case> cases = {
        {nullptr, "standard input ended before the peer list"},
        {"not json", "the peer list is not JSON"},
        {R"({"players":[]})",
         "the peer list must be a JSON array of players or an object with a 'peers' array"},
        {R"([{"identifier":"8"}])", "peer 1: 'identifier' must be a whole number"},
        {R"([{"identifier":4294967296}])", "peer 1: 'identifier' does not fit in 32 bits"},
        {R"([{"identifier":8}])", "peer 1: has no 'topology'"},
        {R"([{"identifier":8,"topology":{"natType":"CONE"}}])", "peer 1: unknown natType 'CONE'"},
        {R"([{"identifier":8,"topology":{"natType":"NONE"}}])",
         "peer 1: a topology needs 'natBehaviorCode' or 'natBehavior'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input ? c.input : "(end of input)");
        ProbeWorkDir dir;
        dir.write("tarn.cfg", config(server));
        SessionProcess player(dir, {"--client-id", "1", "--game", "g", "--json"});
        std::string line;
        ASSERT_TRUE(player.readLine(line)) << dir.read("stderr.txt");
        if (c.input) {
            player.writeLine(c.input);
        } else {
            player.closeInput();
        }
        EXPECT_EQ(2, player.exitCode());
        EXPECT_NE(std::string::npos,
                  dir.read("stderr.txt").find(std::string("tarn-probe session: ") + c.error))
            << dir.read("stderr.txt");
    }
    // The good form of the list that the cases above spoil.
    ProbeWorkDir dir;
    dir.write("tarn.cfg", config(server, "tarn.timeout.private = 50\ntarn.timeout.nat = 50\n"));
    SessionProcess player(dir, {"--client-id", "1", "--game", "g", "--json"});
    std::string line;
    ASSERT_TRUE(player.readLine(line));
    player.writeLine("[" + line + R"(,{"identifier":8,)" + topology + "}]");
    ASSERT_TRUE(player.readLine(line));
    EXPECT_EQ("RELAY", parse(line)["peers"][1]["connection"]) << line;
    EXPECT_EQ(0, player.exitCode());
}

TEST(SessionCommand, OptionsAreChecked) {
    const std::vector<std::vector<std::string>> cases = {
        {"--game", "g"},
        {"--client-id", "1"},
        {"--client-id", "4294967296", "--game", "g"},
        {"--client-id", "x", "--game", "g"},
        {"--client-id", "1", "--game", ""},
        {"--client-id", "1", "--game", "g", "--ports", "1"},
    };
    for (const auto& args : cases) {
        ProbeWorkDir dir;
        SessionProcess player(dir, args);
        std::string line;
        EXPECT_FALSE(player.readLine(line)) << line;
        EXPECT_EQ(2, player.exitCode()) << args[0] << " " << args[1];
        EXPECT_NE(std::string::npos, dir.read("stderr.txt").find("Usage: tarn-probe session"));
    }
}

TEST(SessionCommand, UnreachableServiceEndsBeforeThePeerList) {
    RealRendezvous server;
    ProbeWorkDir dir;
    dir.write("tarn.cfg", config(server));
    server.stop();
    SessionProcess player(dir, {"--client-id", "1", "--game", "g", "--json"});
    std::string line;
    ASSERT_TRUE(player.readLine(line)) << dir.read("stderr.txt");
    const nlohmann::json self = parse(line);
    EXPECT_EQ(3, self["exitCode"]);
    EXPECT_FALSE(self["topology"]["valid"].get<bool>());
    EXPECT_EQ(3, player.exitCode());
}

}  // namespace
