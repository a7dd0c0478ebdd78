#include "tarn/client/impl/service/connection/P2PListener.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContextFixture.h"
#include "Occurrences.h"
#include "tarn/client/impl/service/connection/ConnectionServiceData.h"
#include "tarn/client/impl/service/connection/ConnectivityPass.h"
#include "tarn/client/impl/service/connection/P2PContext.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::ConnectionServiceData;
using tarn::client::impl::service::connection::ConnectivityPass;
using tarn::client::impl::service::connection::P2PCtxData;
using tarn::client::impl::util::Messenger;
using tarn::client::impl::util::SteadyClock;
using Listener = tarn::client::impl::service::connection::P2PListener;

const long kClientId = 11;
const long kPeerId = 7;
constexpr const char* kGame = "game-42";
const int kOwnPublicPort = 5555;

// A listening context of client 11 on 127.0.0.1 with one peer, client 7, whose own local
// endpoint is peerLocal and whose NAT mapping is played by peerPublic. server stands for the
// first rendezvous server, probe for a second socket of client 7 used to check that earlier
// messages have been handled.
class P2PListenerTest : public ContextFixture {
protected:
    // Hides the fixture's game: the tests below name this file's one.
    static constexpr const char* kGame = ::kGame;

    void SetUp() override {
        ContextFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        peerLocal.reset(new UdpPeer("127.0.0.1"));
        peerPublic.reset(new UdpPeer("127.0.0.2"));
        probe.reset(new UdpPeer("127.0.0.1"));
        own = topology(NatType::PORT_RESTRICTED_CONE, "127.0.0.1", local->getLocalEndpoint().port(),
                       "198.51.100.1", kOwnPublicPort);
        peers = {peer(kClientId, own, ConnectionType::SELF),
                 peer(kPeerId, topology(NatType::PORT_RESTRICTED_CONE, "127.0.0.1", peerLocal->port(),
                                        "127.0.0.2", 4000))};
        ASSERT_TRUE(makeContext(kClientId, kGame));
        context->startListening();
    }

    // Once the probe's own ping is answered, every datagram sent to the context before it has
    // been handled, and every answer to it has reached its destination's socket.
    void drain() {
        probe->send(local->getLocalEndpoint(),
                    peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", {probe->local()}));
        Received answer;
        ASSERT_TRUE(probe->receive(answer));
        ASSERT_EQ(gen::Content::PING_RESP, answer.message.type());
    }

    // Nothing was sent to the socket in answer to what the context got so far.
    void expectSilenceAt(UdpPeer& socket) {
        drain();
        Received unexpected;
        EXPECT_FALSE(socket.receive(unexpected, 0)) << gen::messageToString(unexpected.message);
    }

    static gen::Content withoutGame() {
        gen::Content message;
        message.set_type(gen::Content::PING_DIRECT);
        stampSender(message, kPeerId, "127.0.0.1");
        return message;
    }

    static gen::Content withoutUuid() {
        gen::Content message;
        message.set_type(gen::Content::PING_DIRECT);
        gen::addGameId(message, kGame);
        return message;
    }

    // Stops the listener: from here the peers, the topology and the log can be read.
    void settle() { context->stopListening(); }

    Received expectAnswer(UdpPeer& socket, gen::Content::Type type) {
        Received answer;
        EXPECT_TRUE(socket.receive(answer)) << "no " << gen::typeName(type) << " at " << socket.local();
        EXPECT_EQ(gen::typeName(type), gen::typeName(answer.message.type()));
        EXPECT_EQ(local->getLocalEndpoint(), answer.from);
        return answer;
    }

    // Every answer gets the same PING_CONFIRM several times in a row; the first of them.
    Received expectConfirms(UdpPeer& socket) {
        const Received first = expectAnswer(socket, gen::Content::PING_CONFIRM);
        for (int copy = 1; copy < Listener::kConfirmCopies; ++copy) {
            const Received again = expectAnswer(socket, gen::Content::PING_CONFIRM);
            EXPECT_EQ(first.message.SerializeAsString(), again.message.SerializeAsString());
        }
        return first;
    }

    // Every message of the pass names the game and the sender: client 11 on 127.0.0.1.
    static void expectStamped(const gen::Content& message) {
        std::string gameId;
        EXPECT_TRUE(gen::getGameId(message, gameId));
        EXPECT_EQ(kGame, gameId);
        ASSERT_TRUE(message.has_uuid());
        EXPECT_EQ(static_cast<std::uint64_t>(kClientId), message.uuid().uuid_upper());
        EXPECT_EQ(0x7F000001u, message.uuid().uuid_lower());
    }

    std::unique_ptr<UdpPeer> peerLocal;
    std::unique_ptr<UdpPeer> peerPublic;
    std::unique_ptr<UdpPeer> probe;
};

TEST_F(P2PListenerTest, PingDirectIsAnsweredAtEveryResponseTarget) {
    peerLocal->send(local->getLocalEndpoint(),
                    peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1",
                                {peerLocal->local(), peerPublic->local()}));
    for (UdpPeer* target : {peerLocal.get(), peerPublic.get()}) {
        Received answer = expectAnswer(*target, gen::Content::PING_RESP);
        expectStamped(answer.message);
        Endpoint mapped;
        EXPECT_FALSE(gen::getP2PMappedAddress(answer.message, mapped, true));
        EXPECT_TRUE(responseTargets(answer.message).empty());
    }
    // A ping alone connects nobody.
    EXPECT_EQ(1, context->countUnconnectedPeers());
    settle();
    EXPECT_TRUE(logLacks(work->log(), ("process003")));
}

TEST_F(P2PListenerTest, PingDirectFromOutsideItsTargetsIsAlsoAnsweredAtTheSender) {
    peerPublic->send(local->getLocalEndpoint(), peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId,
                                                            "127.0.0.1", {peerLocal->local()}));
    for (UdpPeer* target : {peerLocal.get(), peerPublic.get()}) {
        Received answer = expectAnswer(*target, gen::Content::PING_RESP);
        expectStamped(answer.message);
        Endpoint mapped;
        ASSERT_TRUE(gen::getP2PMappedAddress(answer.message, mapped, true));
        EXPECT_EQ(peerPublic->local(), mapped);
    }
}

TEST_F(P2PListenerTest, RelayedPingIsAnsweredOnlyAtItsTargets) {
    // A rendezvous server forwards the ping with the original sender's game id and UUID.
    server->send(local->getLocalEndpoint(),
                 peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", {peerPublic->local()}));
    Received answer = expectAnswer(*peerPublic, gen::Content::PING_RESP);
    Endpoint mapped;
    EXPECT_FALSE(gen::getP2PMappedAddress(answer.message, mapped, true));
    expectSilenceAt(*server);
    settle();
    EXPECT_TRUE(logLacks(work->log(), ("process003")));
}

TEST_F(P2PListenerTest, AnswersMarkThePeerByTheEndpointTheyCameFrom) {
    struct Case {
        gen::Content::Type type;
        bool fromOwnLocalEndpoint;
        ConnectionType before;
        ConnectionType expected;
    };
    const Case cases[] = {
        {gen::Content::PING_RESP, true, ConnectionType::NONE, ConnectionType::DIRECT_PRIVATE},
        {gen::Content::PING_RESP, false, ConnectionType::NONE, ConnectionType::DIRECT_PUBLIC},
        {gen::Content::PING_CONFIRM, true, ConnectionType::NONE, ConnectionType::DIRECT_PRIVATE},
        {gen::Content::PING_CONFIRM, false, ConnectionType::NONE, ConnectionType::DIRECT_PUBLIC},
        // The host's relay mark gives way to a path that works.
        {gen::Content::PING_CONFIRM, true, ConnectionType::RELAY, ConnectionType::DIRECT_PRIVATE},
        {gen::Content::PING_RESP, false, ConnectionType::RELAY, ConnectionType::DIRECT_PUBLIC},
    };
    const Topology original = peers[1].topology;
    for (const Case& c : cases) {
        SCOPED_TRACE(gen::typeName(c.type) +
                     (c.fromOwnLocalEndpoint ? " from own local" : " from elsewhere") + " after " +
                     tarn::client::toString(c.before));
        settle();
        peers[1].connection = c.before;
        peers[1].topology = original;
        context->startListening();

        UdpPeer& sender = c.fromOwnLocalEndpoint ? *peerLocal : *peerPublic;
        sender.send(local->getLocalEndpoint(), peerMessage(c.type, kGame, kPeerId, "127.0.0.1"));
        if (c.type == gen::Content::PING_RESP) {
            expectStamped(expectConfirms(sender).message);
        }
        expectSilenceAt(sender);
        settle();
        EXPECT_EQ(c.expected, peers[1].connection);
        const Endpoint expectedPublic =
            c.fromOwnLocalEndpoint ? endpoint(original.publicAddr, original.publicPort) : peerPublic->local();
        EXPECT_EQ(expectedPublic, endpoint(peers[1].topology.publicAddr, peers[1].topology.publicPort));
        EXPECT_EQ(original.localPort, peers[1].topology.localPort);
        context->startListening();
    }
}

TEST_F(P2PListenerTest, SecondAnswerFromAConnectedPeerChangesNothingButIsConfirmed) {
    peerPublic->send(local->getLocalEndpoint(),
                     peerMessage(gen::Content::PING_RESP, kGame, kPeerId, "127.0.0.1"));
    expectConfirms(*peerPublic);
    peerLocal->send(local->getLocalEndpoint(),
                    peerMessage(gen::Content::PING_RESP, kGame, kPeerId, "127.0.0.1"));
    expectConfirms(*peerLocal);
    peerLocal->send(local->getLocalEndpoint(),
                    peerMessage(gen::Content::PING_CONFIRM, kGame, kPeerId, "127.0.0.1"));
    drain();
    settle();
    EXPECT_EQ(ConnectionType::DIRECT_PUBLIC, peers[1].connection);
    EXPECT_EQ(peerPublic->local(), endpoint(peers[1].topology.publicAddr, peers[1].topology.publicPort));
    EXPECT_EQ(ConnectionType::SELF, peers[0].connection);
}

TEST_F(P2PListenerTest, MessagesThatNameNoPeerOfThisGameAreIgnored) {
    struct Case {
        const char* what;
        gen::Content message;
    };
    const Case cases[] = {
        {"wrong game", peerMessage(gen::Content::PING_DIRECT, "game-43", kPeerId, "127.0.0.1")},
        {"no game", withoutGame()},
        {"no UUID", withoutUuid()},
        {"unknown client id", peerMessage(gen::Content::PING_DIRECT, kGame, 8, "127.0.0.1")},
        {"unknown address", peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "10.9.9.9")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gen::Content ping = c.message;
        gen::addAddress(ping, gen::Attribute::XOR_RESPONSE_TARGET, peerLocal->local(), true);
        peerLocal->send(local->getLocalEndpoint(), ping);
        expectSilenceAt(*peerLocal);
    }
    // Each kind of answer from a stranger is ignored alike.
    for (auto type : {gen::Content::PING_RESP, gen::Content::PING_CONFIRM}) {
        peerPublic->send(local->getLocalEndpoint(), peerMessage(type, kGame, 8, "127.0.0.1"));
        expectSilenceAt(*peerPublic);
    }
    settle();
    EXPECT_EQ(ConnectionType::NONE, peers[1].connection);
}

TEST_F(P2PListenerTest, UndecodableAndIncompleteDatagramsLeaveTheListenerRunning) {
    const std::vector<std::vector<unsigned char>> datagrams = {
        // A UUID without its lower half: the required field is missing, so it does not decode.
        {0x08, 0x14,                                            // field 1 (type), varint 20 = PING_DIRECT
         0x1A, 0x09,                                            // field 3 (uuid), 9 bytes
         0x09, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // field 1 (uuid_upper), fixed64 7
         0x22, 0x0B,                                            // field 4 (attribute), 11 bytes
         0x08, 0x06,                                            // field 1 (type), varint 6 = GAME_ID
         0x22, 0x07, 'g',  'a',  'm',  'e',  '-',  '4',  '2'},  // field 4 (gameID), "game-42"
        {0xFF, 0xFF, 0xFF},                                     // no valid field at all
        {},                                                     // empty datagram
    };
    UdpPeer sender("127.0.0.1");
    for (const auto& bytes : datagrams) {
        sender.sendBytes(local->getLocalEndpoint(), bytes);
    }
    expectSilenceAt(*peerLocal);
    settle();
    EXPECT_EQ(ConnectionType::NONE, peers[1].connection);
}

TEST_F(P2PListenerTest, OtherMessageTypesAreIgnored) {
    for (auto type :
         {gen::Content::BIND_REQ, gen::Content::BIND_RESP, gen::Content::PING_RELAY, gen::Content::ERROR}) {
        SCOPED_TRACE(gen::typeName(type));
        peerLocal->send(local->getLocalEndpoint(),
                        peerMessage(type, kGame, kPeerId, "127.0.0.1", {peerLocal->local()}));
        expectSilenceAt(*peerLocal);
    }
    settle();
    EXPECT_EQ(ConnectionType::NONE, peers[1].connection);
}

TEST_F(P2PListenerTest, AnswerReportingAnotherPublicPortReplacesOurs) {
    struct Case {
        int reportedPort;
        int expectedPort;
    };
    // The third answer repeats the new port: nothing more to take over. Port 0 is no port: ours stays.
    const Case cases[] = {{kOwnPublicPort, kOwnPublicPort}, {40123, 40123}, {40123, 40123}, {0, 40123}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reportedPort);
        gen::Content answer = peerMessage(gen::Content::PING_RESP, kGame, kPeerId, "127.0.0.1");
        gen::addAddress(answer, gen::Attribute::XOR_P2P_MAPPED_ADDRESS,
                        endpoint("198.51.100.1", c.reportedPort), true);
        peerPublic->send(local->getLocalEndpoint(), answer);
        expectConfirms(*peerPublic);
        EXPECT_EQ(c.expectedPort, context->getTopology().publicPort);
        EXPECT_TRUE(context->getTopology().isValid());
        drain();
        settle();
        const std::string line = "Peer 7@" + text(peerPublic->local()) + " reports new client public port " +
                                 std::to_string(c.reportedPort) + ", old public port was " +
                                 std::to_string(kOwnPublicPort);
        const std::string log = work->log();
        const auto count = [&](const std::string& piece) { return tarn::test::occurrences(log, piece); };
        EXPECT_EQ(c.expectedPort, own.publicPort);
        EXPECT_EQ(c.reportedPort == c.expectedPort && c.reportedPort != kOwnPublicPort ? 1u : 0u,
                  count(line));
        EXPECT_EQ(c.expectedPort == kOwnPublicPort ? 0u : 1u, count("process002"));
        EXPECT_EQ(c.reportedPort == 0 ? 1u : 0u, count("reports client public port 0; keeping 40123"));
        context->startListening();
    }
}

TEST_F(P2PListenerTest, BehindSymmetricNatRelayedPingsWaitForTheLatestPortAndTheDirectPings) {
    settle();
    own.nat.type = NatType::SYMMETRIC;
    ASSERT_TRUE(makeContext(kClientId, kGame));
    context->startListening();
    for (int i = 0; i < 2; ++i) {
        server->send(local->getLocalEndpoint(), peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId,
                                                            "127.0.0.1", {peerPublic->local()}));
    }
    // The relayed pings wait for the measured port and then for the round's direct pings.
    context->releaseHeldPings(false);
    expectSilenceAt(*peerPublic);
    context->setPublicPort(20007);
    expectSilenceAt(*peerPublic);
    context->releaseHeldPings(false);
    for (int i = 0; i < 2; ++i) {
        expectStamped(expectAnswer(*peerPublic, gen::Content::PING_RESP).message);
    }
    // Holding lasts the phase: a later repeat waits for the pass, then goes where the first went.
    server->send(local->getLocalEndpoint(),
                 peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", {peerPublic->local()}));
    expectSilenceAt(*peerPublic);
    context->releaseHeldPings(false);
    expectAnswer(*peerPublic, gen::Content::PING_RESP);
    expectSilenceAt(*server);
    settle();
    EXPECT_EQ(20007, context->getPublicPort());
}

TEST_F(P2PListenerTest, HeldRelayedPingsAreAnsweredWhenTheSymmetricPhaseRunsNoRound) {
    settle();
    own.nat.type = NatType::SYMMETRIC;
    ASSERT_TRUE(makeContext(kClientId, kGame));
    context->startListening();
    server->send(local->getLocalEndpoint(),
                 peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", {peerPublic->local()}));
    expectSilenceAt(*peerPublic);
    // The peer was reached privately, so the symmetric phase finds nobody left to ping and
    // measures no port: the held ping must be answered all the same.
    peerLocal->send(local->getLocalEndpoint(),
                    peerMessage(gen::Content::PING_CONFIRM, kGame, kPeerId, "127.0.0.1"));
    drain();
    ASSERT_EQ(0, context->countUnconnectedPeers());
    ConnectionServiceData engines;
    ConnectivityPass::connectPeers(*context, "test.connSvc", engines);
    expectStamped(expectAnswer(*peerPublic, gen::Content::PING_RESP).message);
}

TEST_F(P2PListenerTest, AStrangerWhoKnowsAPeersIdCanNeitherAnswerForItNorAimOurAnswers) {
    // A third host that knows the game, peer 7's id and its local address, and a bystander.
    UdpPeer stranger("127.0.0.3");
    UdpPeer bystander("127.0.0.4");
    const std::vector<Endpoint> aimed(60, bystander.local());
    for (gen::Content::Type type : {gen::Content::PING_RESP, gen::Content::PING_CONFIRM}) {
        stranger.send(local->getLocalEndpoint(), peerMessage(type, kGame, kPeerId, "127.0.0.1"));
    }
    for (int i = 0; i < 20; ++i) {
        stranger.send(local->getLocalEndpoint(),
                      peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", aimed));
    }
    // Relayed through a rendezvous server, where the UUID and targets are the requester's say.
    server->send(local->getLocalEndpoint(),
                 peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", aimed));
    // A real ping of the peer naming its own address and a bystander gets the first only.
    peerPublic->send(local->getLocalEndpoint(),
                     peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1",
                                 {bystander.local(), peerPublic->local()}));
    expectAnswer(*peerPublic, gen::Content::PING_RESP);
    expectSilenceAt(stranger);
    expectSilenceAt(bystander);
    EXPECT_EQ(1, context->countUnconnectedPeers());
    settle();
    EXPECT_EQ(ConnectionType::NONE, peers[1].connection);
    const std::string log = work->log();
    EXPECT_TRUE(logHas(log, "[test.P2PContext:process006] Ignoring PING_RESP in the name of peer 7 from " +
                                text(stranger.local()) + ": not one of its addresses (1 so far)"));
    EXPECT_TRUE(logHas(log,
                       "[test.P2PContext:process007] Not answering 60 of 60 response targets of peer 7: not "
                       "on its addresses or over 64 (1 pings so far)"));
    // Throttled: lines for the 1st, 2nd, 4th, 8th and 16th of 21 such pings only.
    EXPECT_EQ(5u, tarn::test::occurrences(log, "process007"));
}

TEST_F(P2PListenerTest, APingIsAnsweredAtNoMoreThanSixtyFourTargets) {
    std::vector<Endpoint> targets;
    for (int i = 0; i < 100; ++i) {
        targets.push_back(peerPublic->local());
    }
    peerPublic->send(local->getLocalEndpoint(),
                     peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1", targets));
    for (std::size_t i = 0; i < Listener::kMaxAnswerTargets; ++i) {
        expectAnswer(*peerPublic, gen::Content::PING_RESP);
    }
    expectSilenceAt(*peerPublic);
}

TEST_F(P2PListenerTest, ALostConfirmStillLetsThePeerSeeUs) {
    // The peer's own listening context, behind a link that loses the first of our confirms.
    Messenger remote("127.0.0.1", 0);
    remote.setName("test.remote");
    ASSERT_TRUE(remote.init());
    Topology remoteOwn = topology(NatType::NONE, "127.0.0.1", remote.getLocalEndpoint().port(), "127.0.0.1",
                                  remote.getLocalEndpoint().port());
    std::vector<Peer> remotePeers = {peer(kClientId, own)};
    tarn::client::impl::service::connection::P2PContext remoteContext(kPeerId, kGame, remote, remotePeers,
                                                                      remoteOwn);
    remoteContext.setName("test.remoteContext");
    remoteContext.init();
    remoteContext.startListening();
    UdpPeer link("127.0.0.1");
    link.send(local->getLocalEndpoint(), peerMessage(gen::Content::PING_RESP, kGame, kPeerId, "127.0.0.1"));
    for (int copy = 0; copy < Listener::kConfirmCopies; ++copy) {
        Received confirm = expectAnswer(link, gen::Content::PING_CONFIRM);
        if (copy > 0) {
            link.send(remote.getLocalEndpoint(), confirm.message);
        }
    }
    gen::Content probePing =
        peerMessage(gen::Content::PING_DIRECT, kGame, kClientId, "127.0.0.1", {probe->local()});
    probe->send(remote.getLocalEndpoint(), probePing);
    Received answer;
    ASSERT_TRUE(probe->receive(answer));
    remoteContext.stopListening();
    EXPECT_EQ(ConnectionType::DIRECT_PUBLIC, remotePeers[0].connection);
    remote.shutdown();
}

// Each prescribed line of the listener, checked once; the other tests check what it did.
TEST_F(P2PListenerTest, PrescribedLogLines) {
    const Endpoint ours = local->getLocalEndpoint();
    gen::Content newPort = peerMessage(gen::Content::PING_RESP, kGame, kPeerId, "127.0.0.1");
    gen::addAddress(newPort, gen::Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint("198.51.100.1", 40123), true);
    struct Row {
        const char* what;
        std::function<void()> drive;
        std::string line;
    };
    const Row rows[] = {
        {"start", [] {}, "[test.P2PContext:listen000] Listening for peer messages"},
        {"stop", [] {}, "[test.P2PContext:listen002] Stopping listening for peer messages"},
        {"ping from outside its targets",
         [&] {
             peerPublic->send(ours, peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1",
                                                {peerLocal->local()}));
         },
         // The sender joins the list it was missing from.
         "[test.P2PContext:process003] Peer 7's real address " + text(peerPublic->local()) +
             " not in target list: \n[\n\t" + text(peerLocal->local()) + "\n\t" + text(peerPublic->local()) +
             "\n]"},
        {"relay request",
         [&] { peerLocal->send(ours, peerMessage(gen::Content::PING_RELAY, kGame, kPeerId, "127.0.0.1")); },
         "[test.P2PContext:process000] Ignoring PING_RELAY from " + text(peerLocal->local())},
        {"ping from a stranger",
         [&] { peerLocal->send(ours, peerMessage(gen::Content::PING_DIRECT, kGame, 8, "127.0.0.1")); },
         "[test.P2PContext:process001] Ignoring PING_DIRECT from " + text(peerLocal->local())},
        {"confirmation from a stranger",
         [&] { peerPublic->send(ours, peerMessage(gen::Content::PING_CONFIRM, kGame, 8, "127.0.0.1")); },
         "[test.P2PContext:process001] Ignoring PING_CONFIRM from " + text(peerPublic->local())},
        {"wrong game",
         [&] {
             peerLocal->send(ours, peerMessage(gen::Content::PING_DIRECT, "game-43", kPeerId, "127.0.0.1"));
         },
         "[test.P2PContext:getPeerIndex000] No/wrong gameID; expected 'game-42', got 'game-43'"},
        {"no game", [&] { peerLocal->send(ours, withoutGame()); },
         "[test.P2PContext:getPeerIndex000] No/wrong gameID; expected 'game-42', got ''"},
        {"no UUID", [&] { peerLocal->send(ours, withoutUuid()); },
         "[test.P2PContext:getPeerIndex001] Message has no UUID"},
        {"unknown client id",
         [&] { peerLocal->send(ours, peerMessage(gen::Content::PING_DIRECT, kGame, 8, "127.0.0.1")); },
         "[test.P2PContext:getPeerIndex004] No peer entry for game ID/IP addr/client ID = "
         "game-42/127.0.0.1/8"},
        {"unknown address",
         [&] { peerLocal->send(ours, peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "10.9.9.9")); },
         "[test.P2PContext:getPeerIndex004] No peer entry for game ID/IP addr/client ID = "
         "game-42/10.9.9.9/7"},
        {"new public port", [&] { peerPublic->send(ours, newPort); },
         "[test.P2PContext:process002] Peer 7@" + text(peerPublic->local()) +
             " reports new client public port 40123, old public port was 5555"},
        {"relayed ping behind a symmetric NAT",
         [&] {
             settle();
             own.nat.type = NatType::SYMMETRIC;
             ASSERT_TRUE(makeContext(kClientId, kGame));
             context->startListening();
             server->send(ours, peerMessage(gen::Content::PING_DIRECT, kGame, kPeerId, "127.0.0.1",
                                            {peerPublic->local()}));
         },
         "[test.P2PContext:process004] Holding relayed ping from " + text(server->local()) +
             " until the direct pings are sent"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.drive();
        drain();
        settle();
        EXPECT_TRUE(logHas(work->log(), row.line));
        context->startListening();
    }
}

TEST(P2PListenerTurn, WhatATurnReceivedIsHandledAlsoOnceTheStopIsRequested) {
    WorkDir work;
    Messenger messenger("127.0.0.1", 0);
    messenger.setName("test.local");
    ASSERT_TRUE(messenger.init());
    UdpPeer peerSocket("127.0.0.1");
    Topology own = topology(NatType::NONE, "127.0.0.1", messenger.getLocalEndpoint().port(), "127.0.0.1",
                            messenger.getLocalEndpoint().port());
    std::vector<Peer> peers = {peer(
        kPeerId, topology(NatType::NONE, "127.0.0.1", peerSocket.port(), "127.0.0.1", peerSocket.port()))};
    P2PCtxData data(kClientId, kGame, messenger, peers, own, SteadyClock::instance());
    data.name = "test.listener";
    // The stop request comes while the turn waits: the answer it then receives still counts.
    data.stop.request();
    peerSocket.send(messenger.getLocalEndpoint(),
                    peerMessage(gen::Content::PING_CONFIRM, kGame, kPeerId, "127.0.0.1"));
    Listener::listenOnce(data);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[0].connection);

    // The stop request's wake-up, from our own socket, is no message to handle once stopped.
    gen::Content wakeUp;
    wakeUp.set_type(gen::Content::ERROR);
    messenger.send(wakeUp, messenger.getLocalEndpoint());
    Listener::listenOnce(data);
    EXPECT_TRUE(logLacks(work.log(), "Ignoring ERROR"));
    data.stop.reset();
    messenger.send(wakeUp, messenger.getLocalEndpoint());
    Listener::listenOnce(data);
    EXPECT_TRUE(logHas(
        work.log(), "[test.listener:process000] Ignoring ERROR from " + text(messenger.getLocalEndpoint())));
    messenger.shutdown();
}

TEST(P2PListenerGetPeerIndex, FindsTheFirstPeerWithTheSendersAddressAndClientId) {
    WorkDir work;
    Messenger messenger("127.0.0.1", 0);
    ASSERT_TRUE(messenger.init());
    Topology own = topology(NatType::NONE, "127.0.0.1", 1000, "127.0.0.1", 1000);
    std::vector<Peer> peers = {
        peer(7, topology(NatType::NONE, "10.0.0.7", 2000, "192.0.2.7", 2000)),
        peer(-3, topology(NatType::NONE, "10.0.0.3", 2000, "192.0.2.3", 2000)),
        peer(7, topology(NatType::NONE, "10.0.0.8", 2000, "192.0.2.8", 2000)),
        peer(7, topology(NatType::NONE, "10.0.0.8", 3000, "192.0.2.9", 3000)),
    };
    P2PCtxData data(11, "g", messenger, peers, own, SteadyClock::instance());
    struct Case {
        long clientId;
        const char* address;
        int expected;
    };
    const Case cases[] = {{7, "10.0.0.7", 0},
                          {-3, "10.0.0.3", 1},
                          {7, "10.0.0.8", 2},
                          {3, "10.0.0.3", -1},
                          {7, "10.0.0.9", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + "/" + std::to_string(c.clientId));
        long identifier = 0;
        EXPECT_EQ(c.expected,
                  Listener::getPeerIndex(peerMessage(gen::Content::PING_RESP, "g", c.clientId, c.address),
                                         data, identifier));
        if (c.expected >= 0) {
            EXPECT_EQ(c.clientId, identifier);
        }
    }

    // A UUID without one of its halves can only be built in memory: it would not decode.
    gen::Content partial = peerMessage(gen::Content::PING_RESP, "g", 7, "10.0.0.7");
    partial.mutable_uuid()->clear_uuid_lower();
    long identifier = 0;
    EXPECT_EQ(-1, Listener::getPeerIndex(partial, data, identifier));
    partial = peerMessage(gen::Content::PING_RESP, "g", 7, "10.0.0.7");
    partial.mutable_uuid()->clear_uuid_upper();
    EXPECT_EQ(-1, Listener::getPeerIndex(partial, data, identifier));
    EXPECT_TRUE(logHas(work.log(), "[P2PCtxData:getPeerIndex002] Invalid UUID"));
}

}  // namespace
