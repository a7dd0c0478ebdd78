#include "tarn/lattice/TARNWrapper.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "ConnectivityFixture.h"
#include "ConsoleCapture.h"
#include "RealRendezvous.h"
#include "RecordingLatticeClient.h"
#include "ScopedWorkDir.h"
#include "TestLog.h"
#include "tarn/client/impl/service/connection/P2PContext.h"
#include "tarn/client/impl/util/Messenger.h"

using tarn::client::Topology;
using tarn::lattice::TARNWrapper;
using tarn::test::ConsoleCapture;
using tarn::test::RealRendezvous;
using tarn::test::ScopedWorkDir;
using RecordingProxy = tarn::test::RecordingLatticeClient;
using tarn::test::TestLog;

namespace {

// Whether the log holds the timing line with this word and whole seconds for both durations.
bool hasTimingLine(const std::string& log, const std::string& word) {
    const std::string prefix = "[TARNWrapper:notifyLattice999] Discovery " + word + "; discovery=";
    for (std::size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1)) {
        std::istringstream rest(log.substr(at + prefix.size()));
        long discovery = -1;
        long messaging = -1;
        std::string middle;
        std::string unit;
        if (rest >> discovery >> middle >> unit && middle == "sec," && unit == "Lattice" && rest.ignore(11) &&
            rest >> messaging && discovery >= 0 && messaging >= 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(TARNWrapperNotify, ReportsTheTopologyAndFollowsTheReturnCode) {
    TestLog log;
    RealRendezvous server;
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    server.configureClient(wrapper.getConfigurator());

    struct Row {
        std::int32_t code;
        bool result;
        const char* text;
    };
    const Row rows[] = {{0, true, "Successful transmission to Lattice"},
                        {108, false, "Invalid server response"},
                        {7, false, "Lattice error"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        RecordingProxy proxy(row.code);
        wrapper.setLatticeProxy(&proxy);
        const int timingLines = log.count("notifyLattice999");
        EXPECT_EQ(wrapper.notifyLattice("user-42"), row.result);

        // The first slot first, its value handed on to invoke, eight pairs, then two zeros.
        EXPECT_EQ(proxy.calls, (std::vector<std::string>{"getContext", "invoke"}));
        ASSERT_EQ(proxy.invocations.size(), 1u);
        const RecordingProxy::Invocation& call = proxy.invocations[0];
        EXPECT_EQ(call.featurette, "P2P");
        EXPECT_EQ(call.method, "SetNatType");
        EXPECT_EQ(call.context, RecordingProxy::kContext);
        EXPECT_EQ(call.pairCount, 8);
        EXPECT_EQ(call.reservedA, 0);
        EXPECT_EQ(call.reservedB, 0);
        const Topology& topology = wrapper.getCurrentTopology();
        ASSERT_TRUE(topology.isValid());
        const std::vector<std::string> expected = {"userId",       "user-42",
                                                   "localIp",      topology.localAddr,
                                                   "localPort",    std::to_string(topology.localPort),
                                                   "publicIp",     topology.publicAddr,
                                                   "publicPort",   std::to_string(topology.publicPort),
                                                   "natType",      "1",
                                                   "natBehavior",  "1",
                                                   "natIncrement", "0"};
        EXPECT_EQ(call.parameters, expected);

        EXPECT_TRUE(log.contains("[TARNWrapper:sendToLattice004] Lattice return code " +
                                 std::to_string(row.code) + ": " + row.text + "\n"));
        EXPECT_EQ(log.count("notifyLattice999"), timingLines + 1);
        EXPECT_TRUE(hasTimingLine(log.text(), row.result ? "successful" : "FAILED"));
    }
    const Topology& topology = wrapper.getCurrentTopology();
    const std::string local = topology.localAddr + ":" + std::to_string(topology.localPort);
    EXPECT_EQ(
        log.count(
            "[TARNWrapper:notifyLattice003] [CHECKPOINT@DSCVR] DETECTED LOCAL TOPOLOGY = [NAT=[type=NONE, "
            "behavior=NOT SENSITIVE, increment=0], local addr=" +
            local + ", public addr=" + local + "]\n"),
        3);
    EXPECT_TRUE(log.contains(
        "[TARNWrapper:sendToLattice001] Lattice P2P::SetNatType parameters = \n[\n"
        "\tuserId = user-42\n\tlocalIp = " +
        topology.localAddr + "\n\tlocalPort = " + std::to_string(topology.localPort) +
        "\n\tpublicIp = " + topology.publicAddr + "\n\tpublicPort = " + std::to_string(topology.publicPort) +
        "\n\tnatType = 1\n\tnatBehavior = 1\n\tnatIncrement = 0\n]\n"));

    // The proxy's exceptions reach the host.
    RecordingProxy throwing(0);
    throwing.throwInInvoke = true;
    wrapper.setLatticeProxy(&throwing);
    EXPECT_THROW(wrapper.notifyLattice("user-42"), std::runtime_error);
    wrapper.setLatticeProxy(nullptr);
}

TEST(TARNWrapperNotify, WithoutProxyDiscoveryRunsAndTheReportFails) {
    TestLog log;
    RealRendezvous server;
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    server.configureClient(wrapper.getConfigurator());
    RecordingProxy proxy(0);
    wrapper.setLatticeProxy(&proxy);
    wrapper.setLatticeProxy(nullptr);

    EXPECT_FALSE(wrapper.notifyLattice("user-1"));
    EXPECT_TRUE(proxy.calls.empty());
    EXPECT_TRUE(wrapper.getCurrentTopology().isValid());
    EXPECT_EQ(log.count("[CHECKPOINT@DSCVR] DETECTED LOCAL TOPOLOGY"), 1);
    EXPECT_TRUE(log.contains("[ERROR] "));
    EXPECT_TRUE(
        log.contains("[TARNWrapper:sendToLattice000] Cannot send message to Lattice: proxy was not set\n"));
    EXPECT_TRUE(hasTimingLine(log.text(), "FAILED"));
}

TEST(TARNWrapperNotify, InvalidTopologyIsNotReported) {
    TestLog log;
    // No rendezvous server configured: the connection service cannot initialize.
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    RecordingProxy proxy(0);
    wrapper.setLatticeProxy(&proxy);

    EXPECT_FALSE(wrapper.notifyLattice("user-1"));
    EXPECT_TRUE(proxy.calls.empty());
    EXPECT_TRUE(
        log.contains("[TARNWrapper:notifyLattice001] Could not do discovery: [tarn.client.connSvc:"
                     "discoverTopology] tarn.client.connSvc has not been initialized!\n"));
    EXPECT_TRUE(
        log.contains("[TARNWrapper:notifyLattice003] [CHECKPOINT@DSCVR] DETECTED LOCAL TOPOLOGY = "
                     "[NAT=[type=UNKNOWN, behavior=UNKNOWN, increment=-1], local addr=0.0.0.0:-1, public "
                     "addr=:-1]\n"));
    EXPECT_TRUE(
        log.contains("[TARNWrapper:notifyLattice004] Lattice NOT NOTIFIED; invalid local topology\n"));
    EXPECT_FALSE(log.contains("notifyLattice999"));
    wrapper.setLatticeProxy(nullptr);
}

TEST(TARNWrapperNotify, FailedDiscoveryStillReportsAnEarlierValidTopology) {
    TestLog log;
    RealRendezvous server;
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    server.configureClient(wrapper.getConfigurator());
    RecordingProxy first(0);
    wrapper.setLatticeProxy(&first);
    ASSERT_TRUE(wrapper.notifyLattice("user-1"));

    server.stop();
    RecordingProxy second(0);
    wrapper.setLatticeProxy(&second);
    EXPECT_TRUE(wrapper.notifyLattice("user-1"));
    ASSERT_EQ(second.invocations.size(), 1u);
    EXPECT_EQ(second.invocations[0].parameters, first.invocations.at(0).parameters);
    EXPECT_TRUE(
        log.contains("[TARNWrapper:notifyLattice001] Could not do discovery: "
                     "[tarn.client.connSvc.discoveror:normalReplyTest] No response; giving up after 2 "
                     "retries in 400 ms\n"));
    EXPECT_EQ(log.count("Discovery successful"), 2);
    wrapper.setLatticeProxy(nullptr);
}

TEST(TARNWrapper, SingletonVersionAndConstants) {
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    EXPECT_EQ(&wrapper, &TARNWrapper::getInstance());
    EXPECT_EQ(wrapper.getTARNClientVersion(), "1.0.1");

    const std::pair<const char*, const char*> constants[] = {
        {TARNWrapper::UID, "userId"},
        {TARNWrapper::FEATURETTE, "P2P"},
        {TARNWrapper::MTD_DSC, "SetNatType"},
        {TARNWrapper::MTD_P2P, "UpdateP2PInfo"},
        {TARNWrapper::LOCAL_IP, "localIp"},
        {TARNWrapper::LOCAL_PORT, "localPort"},
        {TARNWrapper::PUBLIC_IP, "publicIp"},
        {TARNWrapper::PUBLIC_PORT, "publicPort"},
        {TARNWrapper::NAT_TYPE, "natType"},
        {TARNWrapper::NAT_BEHAVIOR, "natBehavior"},
        {TARNWrapper::NAT_INCR, "natIncrement"},
        {TARNWrapper::GAME_ID, "sessionId"},
        {TARNWrapper::FAILS, "failures"},
        {TARNWrapper::TOTAL, "peers"},
        {TARNWrapper::PERSONA_ID, "personaId"},
    };
    for (const auto& constant : constants) {
        EXPECT_STREQ(constant.first, constant.second);
    }
}

TEST(TARNWrapper, AccessorsReachTheRegistryServices) {
    TARNWrapper& wrapper = TARNWrapper::getInstance();
    EXPECT_EQ(wrapper.getConfigurator().getName(), "tarn.client.configurator");
    EXPECT_EQ(wrapper.getLoggingService().getName(), "tarn.client.logger");
    EXPECT_TRUE(wrapper.getLoggingService().isInitialized());
    wrapper.getConfigurator().setValue("tarn.example", "1");
    EXPECT_TRUE(wrapper.getConfigurator().hasValue("tarn.example"));
}

// Needs a process in which the registry does not exist yet, which is how ctest runs every test.
TEST(TARNWrapper, VersionAsFirstCallCreatesTheRegistryAndReadsTheConfiguration) {
    if (::testing::UnitTest::GetInstance()->test_to_run_count() != 1) {
        GTEST_SKIP() << "needs a process of its own; run it alone or through ctest";
    }
    ScopedWorkDir dir;
    dir.writeFile("tarn.cfg", "tarn.retries = 5\n");
    TARNWrapper& wrapper = TARNWrapper::getInstance();

    ConsoleCapture console;
    EXPECT_EQ(wrapper.getTARNClientVersion(), "1.0.1");
    // The configuration is read; the logging service still waits for its first use.
    EXPECT_EQ(console.stdOut(), "Reading in config values from 'tarn.cfg'\n");
    EXPECT_EQ(console.stdErr(), "");
    EXPECT_EQ(wrapper.getConfigurator().getString("tarn.retries"), "5");
    EXPECT_FALSE(boost::filesystem::exists(dir.path() / "tarn.log"));
    EXPECT_EQ(wrapper.getTARNClientVersion(), "1.0.1");
}

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::P2PContext;
using tarn::client::impl::util::Messenger;
using tarn::lattice::TARNWrapper;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const long kClientId = 42;
const char* const kGame = "game-1";

// Another player on this machine: a socket of its own and a listening context that answers our
// pings, with us in its peer list.
class OtherPlayer {
public:
    OtherPlayer(const Topology& ours, long id) : messenger(ours.localAddr, 0) {
        messenger.setName("test.other");
        if (!messenger.init()) {
            throw std::runtime_error("cannot bind the other player's socket");
        }
        own = topology(NatType::NONE, ours.localAddr, messenger.getLocalEndpoint().port(), ours.localAddr,
                       messenger.getLocalEndpoint().port());
        peers = {peer(kClientId, ours), peer(id, own, ConnectionType::SELF)};
        context.reset(new P2PContext(id, kGame, messenger, peers, own));
        context->setName("test.otherContext");
        context->init();
        context->startListening();
    }

    ~OtherPlayer() {
        context->shutdown();
        messenger.shutdown();
    }

    Messenger messenger;
    Topology own;
    std::vector<Peer> peers;
    std::unique_ptr<P2PContext> context;
};

class TARNWrapperConnectTest : public ::testing::Test {
protected:
    void SetUp() override {
        work.reset(new WorkDir);
        useRendezvous();
        facade().setLatticeProxy(&proxy);
        ASSERT_TRUE(facade().notifyLattice("user-1"));
        ours = facade().getCurrentTopology();
        proxy.invocations.clear();
    }

    void TearDown() override { facade().setLatticeProxy(nullptr); }

    static TARNWrapper& facade() { return TARNWrapper::getInstance(); }

    std::vector<std::string> expectedReport(int failures, int total) const {
        return {"sessionId",  kGame,
                "failures",   std::to_string(failures),
                "peers",      std::to_string(total),
                "publicIp",   ours.publicAddr,
                "publicPort", std::to_string(ours.publicPort),
                "personaId",  std::to_string(kClientId),
                "localPort",  std::to_string(ours.localPort)};
    }

    std::unique_ptr<WorkDir> work;
    RecordingProxy proxy{0};
    Topology ours;
};

TEST_F(TARNWrapperConnectTest, EmptyPeerListReportsNothing) {
    std::vector<Peer> peers;
    EXPECT_FALSE(facade().connect(kClientId, kGame, peers));
    EXPECT_THAT(proxy.invocations, IsEmpty());
    const std::string log = work->log();
    EXPECT_TRUE(logHas(log, "[TARNWrapper:connect000] [CHECKPOINT@P2P_START] GAME/CLIENT = game-1/42"));
    EXPECT_TRUE(logHas(log, "[TARNWrapper:connect001] Zero length peer list specified"));
    EXPECT_TRUE(logLacks(log, "CONNSVR_P2P_START"));
}

TEST_F(TARNWrapperConnectTest, ReachedPeerIsReportedInSevenPairs) {
    OtherPlayer other(ours, 43);
    std::vector<Peer> peers = {peer(kClientId, ours), peer(43, other.own)};
    EXPECT_TRUE(facade().connect(kClientId, kGame, peers));
    EXPECT_EQ(ConnectionType::SELF, peers[0].connection);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[1].connection);
    ASSERT_EQ(1u, proxy.invocations.size());
    const RecordingProxy::Invocation& call = proxy.invocations[0];
    EXPECT_EQ("P2P", call.featurette);
    EXPECT_EQ("UpdateP2PInfo", call.method);
    EXPECT_EQ(RecordingProxy::kContext, call.context);
    EXPECT_EQ(7, call.pairCount);
    EXPECT_EQ(0, call.reservedA);
    EXPECT_EQ(0, call.reservedB);
    EXPECT_EQ(expectedReport(0, 2), call.parameters);
    const std::string log = work->log();
    EXPECT_TRUE(logHas(log,
                       "[CHECKPOINT@P2P_END] FINAL P2P RESULT: UDP RELAY USAGE = 0 of 1 PEER(S); PEER LIST "
                       "FOR CLIENT/GAME 42/game-1 = \n[\n\t[identifier=42, connection=NONE"));
    EXPECT_TRUE(logHas(log, "[TARNWrapper:connect006] P2P successful; connected="));
}

TEST_F(TARNWrapperConnectTest, PeerThatNeverAnswersIsReportedAsAFailure) {
    UdpPeer silent(ours.localAddr);
    std::vector<Peer> peers = {
        peer(kClientId, ours),
        peer(44, topology(NatType::FULL_CONE, ours.localAddr, silent.port(), ours.localAddr, silent.port()))};
    EXPECT_TRUE(facade().connect(kClientId, kGame, peers));
    EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);
    ASSERT_EQ(1u, proxy.invocations.size());
    EXPECT_EQ(expectedReport(1, 2), proxy.invocations[0].parameters);
    EXPECT_TRUE(logHas(work->log(), "UDP RELAY USAGE = 1 of 1 PEER(S); PEER LIST FOR CLIENT/GAME 42/game-1"));
}

TEST_F(TARNWrapperConnectTest, UndeliveredReportMakesTheResultFalse) {
    struct Case {
        const char* what;
        RecordingProxy* proxy;
        const char* logLine;
    };
    RecordingProxy refusing(108);
    RecordingProxy unknownCode(7);
    const Case cases[] = {
        {"no proxy", nullptr,
         "[TARNWrapper:sendToLattice000] Cannot send message to Lattice: proxy was not set"},
        {"code 108", &refusing,
         "[TARNWrapper:sendToLattice004] Lattice return code 108: Invalid server response"},
        {"code 7", &unknownCode, "[TARNWrapper:sendToLattice004] Lattice return code 7: Lattice error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OtherPlayer other(ours, 46);
        facade().setLatticeProxy(c.proxy);
        std::vector<Peer> peers = {peer(kClientId, ours), peer(46, other.own)};
        EXPECT_FALSE(facade().connect(kClientId, kGame, peers));
        // The connectivity itself went through.
        EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[1].connection);
        if (c.proxy != nullptr) {
            EXPECT_EQ(1u, c.proxy->invocations.size());
        }
        const std::string log = work->log();
        EXPECT_TRUE(logHas(log, c.logLine));
        EXPECT_TRUE(logHas(log, "[TARNWrapper:connect005] Could not pass P2P details to Lattice"));
        EXPECT_TRUE(logHas(log, "[TARNWrapper:connect006] P2P successful; connected="));
    }
    EXPECT_THAT(proxy.invocations, IsEmpty());
}

// A host at its descriptor limit after start-up: no call can open a socket.
// Run in a child process, which takes the limit and the library's state with it.
TEST(TARNWrapperFailure, AHostOutOfDescriptorsGetsFalseAndNoException) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime needs free descriptors itself: UBSan's type check reads the process's
    // memory map, and without a descriptor it reports a sound object as broken.
    GTEST_SKIP() << "the sanitizer runtime cannot work at the descriptor limit";
#endif
    const auto host = [] {
        WorkDir work;
        useRendezvous();
        RecordingProxy proxy(0);
        TARNWrapper& tarn = TARNWrapper::getInstance();
        tarn.setLatticeProxy(&proxy);
        tarn.getLoggingService();
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlim_t normal = limit.rlim_cur;
        const auto allow = [&limit](rlim_t descriptors) {
            limit.rlim_cur = descriptors;
            return setrlimit(RLIMIT_NOFILE, &limit) == 0;
        };
        // One free descriptor: enough to list the interfaces, too few for a socket.
        const auto starve = [&allow] {
            const int lowest = dup(0);
            close(lowest);
            return lowest >= 0 && allow(static_cast<rlim_t>(lowest) + 1);
        };
        // Out of descriptors from the start: the search for a local binding fails.
        if (!starve() || tarn.notifyLattice("user-1") || !allow(normal) || !tarn.notifyLattice("user-1")) {
            _exit(1);
        }
        // Discovered, then out of descriptors: the pass cannot open its socket.
        std::vector<Peer> peers = {peer(kClientId, tarn.getCurrentTopology()),
                                   peer(43, topology(NatType::NONE, "127.0.0.1", 4000, "127.0.0.1", 4000))};
        const bool failed = starve() && !tarn.connect(kClientId, kGame, peers);
        _exit(failed && peers[1].connection == ConnectionType::RELAY ? 0 : 2);
    };
    // A fresh process runs the host: no thread of this one is forked along.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(host(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
