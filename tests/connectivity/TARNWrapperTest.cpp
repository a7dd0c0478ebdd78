#include "tarn/lattice/TARNWrapper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConnectivityFixture.h"
#include "RecordingLatticeClient.h"
#include "tarn/client/impl/service/connection/P2PContext.h"

namespace {

using namespace p2ptest;
using tarn::client::impl::service::connection::P2PContext;
using tarn::client::impl::util::Messenger;
using tarn::lattice::TARNWrapper;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using RecordingProxy = tarn::test::RecordingLatticeClient;

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
    Socket silent(ours.localAddr);
    std::vector<Peer> peers = {
        peer(kClientId, ours),
        peer(44, topology(NatType::FULL_CONE, ours.localAddr, silent.port(), ours.localAddr, silent.port()))};
    EXPECT_TRUE(facade().connect(kClientId, kGame, peers));
    EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);
    ASSERT_EQ(1u, proxy.invocations.size());
    EXPECT_EQ(expectedReport(1, 2), proxy.invocations[0].parameters);
    EXPECT_TRUE(logHas(work->log(), "UDP RELAY USAGE = 1 of 1 PEER(S); PEER LIST FOR CLIENT/GAME 42/game-1"));
}

TEST_F(TARNWrapperConnectTest, ConnectivityThatThrowsStillReportsEveryUndecidedPeerAsRelay) {
    // The host's entry for us carries an older port, so the pass does not know it as ours before
    // the malformed peer address ends it.
    Topology stale = ours;
    stale.localPort = ours.localPort == 1 ? 2 : 1;
    std::vector<Peer> peers = {peer(kClientId, stale),
                               peer(45, topology(NatType::FULL_CONE, "peer..bad", 4000, "192.0.2.45", 4000))};
    EXPECT_FALSE(facade().connect(kClientId, kGame, peers));
    EXPECT_EQ(ConnectionType::RELAY, peers[0].connection);
    EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);
    ASSERT_EQ(1u, proxy.invocations.size());
    EXPECT_EQ(expectedReport(2, 2), proxy.invocations[0].parameters);
    const std::string log = work->log();
    EXPECT_TRUE(
        logHas(log,
               "[TARNWrapper:connect003] Could not do p2p connectivity: "
               "[tarn::client::impl::Network:initEndpoint001] Cannot initialize endpoint: peer..bad:4000"));
    EXPECT_TRUE(logHas(log, "UDP RELAY USAGE = 2 of 2 PEER(S)"));
    EXPECT_TRUE(logHas(log, "[TARNWrapper:connect006] P2P FAILED; connected="));
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

}  // namespace
