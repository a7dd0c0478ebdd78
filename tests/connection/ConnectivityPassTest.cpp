#include "tarn/client/impl/service/connection/ConnectivityPass.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConnectivityFixture.h"
#include "Occurrences.h"
#include "ScopedGroupingLocale.h"
#include "tarn/client/UninitializedException.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::ConnectivityPass;

const long kClientId = 21;
const char* const kGame = "game-9";
const char* const kService = "test.connSvc";

class ConnectivityPassTest : public ::testing::Test {
protected:
    void SetUp() override {
        work.reset(new WorkDir);
        useRendezvous();
        client.reset(new Client(kService));
        ASSERT_TRUE(client->start());
    }

    void run(std::vector<Peer>& peers, bool initialized = true) {
        ConnectivityPass::discoverConnectivity(kService, initialized, client->engines, kClientId, kGame,
                                               peers);
    }

    Peer self() { return peer(kClientId, client->topology()); }

    std::unique_ptr<WorkDir> work;
    std::unique_ptr<Client> client;
};

TEST_F(ConnectivityPassTest, ListsWithNobodyElseEndAfterTheStartCheckpoint) {
    std::vector<Peer> empty;
    run(empty);
    std::vector<Peer> onlySelf = {self()};
    run(onlySelf);
    EXPECT_EQ(ConnectionType::SELF, onlySelf[0].connection);
    const std::string log = work->log();
    EXPECT_TRUE(logLacks(log, "CONNSVR_P2P_END"));
    EXPECT_TRUE(logLacks(log, "test.connSvc.messenger"));
}

TEST_F(ConnectivityPassTest, UninitializedServiceOrInvalidTopologyMarksEveryoneElseForRelay) {
    const Topology other = topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 4000);
    struct Case {
        const char* what;
        bool initialized;
    };
    const Case cases[] = {{"uninitialized", false}, {"invalid topology", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.initialized) {
            client->topology().nat.type = NatType::UNKNOWN;
        }
        std::vector<Peer> peers = {self(), peer(2, other), peer(3, other, ConnectionType::DIRECT_PUBLIC)};
        run(peers, c.initialized);
        EXPECT_EQ(ConnectionType::SELF, peers[0].connection);
        EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);
        EXPECT_EQ(ConnectionType::DIRECT_PUBLIC, peers[2].connection);
        // No round ran: no messenger was opened.
        EXPECT_TRUE(logLacks(work->log(), "test.connSvc.messenger"));
    }
}

TEST_F(ConnectivityPassTest, PeersThatNeverAnswerTakeEveryRoundAndEndAsRelay) {
    UdpPeer silent(client->topology().localAddr);
    const Topology silentTopology = topology(NatType::FULL_CONE, client->topology().localAddr, silent.port(),
                                             client->topology().localAddr, silent.port());
    Topology invalid = silentTopology;
    invalid.nat.behavior = NatBehavior::UNKNOWN;
    Topology ownIdElsewhere = silentTopology;
    ownIdElsewhere.localAddr = "10.255.0.1";
    std::vector<Peer> peers = {self(), peer(2, silentTopology), peer(3, invalid),
                               peer(kClientId, ownIdElsewhere),
                               peer(4, silentTopology, ConnectionType::RELAY)};
    const auto start = std::chrono::steady_clock::now();
    run(peers);
    const long long spent = millisecondsSince(start);
    // One private round and three public rounds of 100 ms each.
    EXPECT_GE(spent, 400);
    EXPECT_LT(spent, 3000);
    const std::vector<ConnectionType> expected = {ConnectionType::SELF, ConnectionType::RELAY,
                                                  ConnectionType::RELAY, ConnectionType::SELF,
                                                  ConnectionType::RELAY};
    for (std::size_t i = 0; i < peers.size(); ++i) {
        EXPECT_EQ(expected[i], peers[i].connection) << i;
    }
    const std::string log = work->log();
    EXPECT_TRUE(logHas(log, "PRIVATE NETWORKING round 1: 2 peers still unconnected"));
    EXPECT_TRUE(logLacks(log, "PRIVATE NETWORKING round 2"));
    for (int round = 1; round <= 3; ++round) {
        EXPECT_TRUE(logHas(log, "PUBLIC NETWORKING (BEHIND NON SYM NAT) round " + std::to_string(round) +
                                    ": 2 peers still unconnected"));
    }
    EXPECT_TRUE(logLacks(log, "BEHIND NON SYM NAT) round 4"));
    EXPECT_TRUE(logHas(log, "[CHECKPOINT@CONNSVR_P2P_END] UDP RELAY USAGE = 2 of 3 PEER(S)"));
    // Each of the four rounds pings the two peers still to reach, and again after each of its
    // first three wait steps; the host's relay entry is left alone.
    const std::string sent = "byte sized PING_DIRECT from " + client->topology().localAddr + ":" +
                             std::to_string(client->topology().localPort) + " to \n[";
    std::size_t rounds = 0;
    for (auto at = log.find(sent); at != std::string::npos; at = log.find(sent, at + 1)) {
        ++rounds;
        const std::size_t listStart = at + sent.size();
        const std::string destinations = log.substr(listStart, log.find("\n]", listStart) - listStart);
        EXPECT_EQ(2, std::count(destinations.begin(), destinations.end(), '\t')) << destinations;
    }
    EXPECT_EQ(16u, rounds);
}

TEST_F(ConnectivityPassTest, TwoClientsReachEachOtherPrivatelyWithinMilliseconds) {
    configure("tarn.timeout.private", "2000");
    configure("tarn.timeout.nat", "2000");
    Client other("test.other");
    ASSERT_TRUE(other.start());
    const long otherId = 22;
    const std::vector<Peer> game = {self(), peer(otherId, other.topology())};
    std::vector<Peer> ours = game;
    std::vector<Peer> theirs = game;
    long long theirTime = 0;
    std::thread otherPass([&] {
        const auto start = std::chrono::steady_clock::now();
        ConnectivityPass::discoverConnectivity("test.other", true, other.engines, otherId, kGame, theirs);
        theirTime = millisecondsSince(start);
    });
    const auto start = std::chrono::steady_clock::now();
    run(ours);
    const long long ourTime = millisecondsSince(start);
    otherPass.join();
    EXPECT_EQ(ConnectionType::SELF, ours[0].connection);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, ours[1].connection);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, theirs[0].connection);
    EXPECT_EQ(ConnectionType::SELF, theirs[1].connection);
    // Waiting a fixed quarter of the round would cost 500 ms.
    EXPECT_LT(ourTime, 400);
    EXPECT_LT(theirTime, 400);
    const std::string log = work->log();
    EXPECT_TRUE(logHas(log, "[CHECKPOINT@CONNSVR_P2P_END] UDP RELAY USAGE = 0 of 1 PEER(S)"));
    EXPECT_TRUE(logLacks(log, "START PUBLIC NETWORKING"));
}

TEST_F(ConnectivityPassTest, AnEntryWithoutAnAddressGoesToTheRelayAndThePairStillConnects) {
    Client other("test.other");
    ASSERT_TRUE(other.start());
    const Peer bad = peer(23, topology(NatType::FULL_CONE, "bad host", 4000, "bad host", 4000));
    std::vector<Peer> ours = {self(), peer(22, other.topology()), bad};
    std::vector<Peer> theirs = ours;
    std::thread otherPass([&] {
        ConnectivityPass::discoverConnectivity("test.other", true, other.engines, 22, kGame, theirs);
    });
    run(ours);
    otherPass.join();
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, ours[1].connection);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, theirs[0].connection);
    EXPECT_EQ(ConnectionType::RELAY, ours[2].connection);
    EXPECT_EQ(ConnectionType::RELAY, theirs[2].connection);
    EXPECT_EQ(2u, tarn::test::occurrences(work->log(), "Peer 23 is listed at no IPv4 address and port"));
}

TEST_F(ConnectivityPassTest, SymmetricPhaseMeasuresTheLatestPortAndAsksTheServerToRelay) {
    // The peer's socket has run discovery against the server, so the server relays to it.
    UdpPeer peerSocket(client->topology().localAddr);
    gen::Content bind;
    bind.set_type(gen::Content::BIND_REQ);
    peerSocket.send(rendezvous().endpoints()[0], bind);
    Received answer;
    ASSERT_TRUE(peerSocket.receive(answer));
    ASSERT_EQ(gen::Content::BIND_RESP, answer.message.type());

    configure("tarn.candidate_addrs", "3");
    client->engines.symNatConnector.shutdown();
    ASSERT_TRUE(client->engines.symNatConnector.init());
    client->topology().nat.type = NatType::SYMMETRIC;
    client->topology().nat.increment = 1;
    client->engines.retries = 0;
    std::vector<Peer> peers = {self(), peer(5, topology(NatType::SYMMETRIC, "10.255.0.5", 4000,
                                                        client->topology().localAddr, peerSocket.port(), 1))};
    run(peers);
    EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);

    // The private ping went to an address where nobody is; the server relayed our ping with
    // our predicted ports as the places to answer.
    Received relayed;
    ASSERT_TRUE(peerSocket.receive(relayed));
    EXPECT_EQ(gen::Content::PING_DIRECT, relayed.message.type());
    EXPECT_EQ(rendezvous().endpoints()[0], relayed.from);
    const std::vector<Endpoint> targets = responseTargets(relayed.message);
    ASSERT_EQ(3u, targets.size());
    std::string gameId;
    EXPECT_TRUE(gen::getGameId(relayed.message, gameId));
    EXPECT_EQ(kGame, gameId);
    EXPECT_EQ(static_cast<std::uint64_t>(kClientId), relayed.message.uuid().uuid_upper());

    const std::string log = work->log();
    const std::string latest =
        "[test.connSvc:doConnect011] Latest public port for client behind symmetric NAT is ";
    const auto at = log.find(latest);
    ASSERT_NE(std::string::npos, at);
    const int latestPort = std::stoi(log.substr(at + latest.size()));
    EXPECT_GT(latestPort, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(endpoint(client->topology().publicAddr, latestPort + i + 1), targets[i]);
    }
}

TEST_F(ConnectivityPassTest, NoPublicRoundsWithNegativeRetries) {
    client->engines.retries = -1;
    UdpPeer silent(client->topology().localAddr);
    std::vector<Peer> peers = {
        self(), peer(2, topology(NatType::FULL_CONE, client->topology().localAddr, silent.port(),
                                 client->topology().localAddr, silent.port()))};
    run(peers);
    EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);
    const std::string log = work->log();
    EXPECT_TRUE(logHas(log, "START PUBLIC NETWORKING (BEHIND NON SYM NAT): reach 1 unconnected peer(s)"));
    EXPECT_TRUE(logHas(log, "END PUBLIC NETWORKING (BEHIND NON SYM NAT): 1 peer(s) still unconnected"));
    EXPECT_TRUE(logLacks(log, "PUBLIC NETWORKING (BEHIND NON SYM NAT) round"));
}

TEST_F(ConnectivityPassTest, OverlappedPassPingsBothEndpointsFirstAndKeepsTheRelayBudget) {
    client->engines.overlap = true;
    UdpPeer local(client->topology().localAddr);
    UdpPeer outside(client->topology().localAddr);
    std::vector<Peer> peers = {self(), peer(2, topology(NatType::FULL_CONE, client->topology().localAddr,
                                                        local.port(), "127.0.0.3", outside.port()))};
    const auto start = std::chrono::steady_clock::now();
    run(peers);
    // The same rounds as the documented order: 100 ms private and three public ones.
    EXPECT_GE(millisecondsSince(start), 400);
    EXPECT_EQ(ConnectionType::RELAY, peers[1].connection);
    const std::string log = work->log();
    const std::vector<std::string> inOrder = {
        "START PRIVATE NETWORKING: reach 1",
        "START PUBLIC NETWORKING (BEHIND NON SYM NAT): reach 1",
        "PING_DIRECT from " + client->topology().localAddr + ":" +
            std::to_string(client->topology().localPort) +
            " to \n[\n\t127.0.0.3:" + std::to_string(outside.port()),
        "END PRIVATE NETWORKING: 1 peer(s) still unconnected",
        "PUBLIC NETWORKING (BEHIND NON SYM NAT) round 3: 1 peers still unconnected",
        "END PUBLIC NETWORKING (BEHIND NON SYM NAT): 1 peer(s) still unconnected"};
    std::size_t at = 0;
    for (const std::string& line : inOrder) {
        at = log.find(line, at);
        ASSERT_NE(std::string::npos, at) << line;
    }
    EXPECT_TRUE(logLacks(log, "BEHIND NON SYM NAT) round 4"));
    EXPECT_TRUE(logLacks(log, "PRIVATE NETWORKING round"));
}

TEST_F(ConnectivityPassTest, UnbindableLocalEndpointMarksEveryoneForRelay) {
    client->topology().localAddr = "192.0.2.200";
    std::vector<Peer> peers = {peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 4000))};
    run(peers);
    EXPECT_EQ(ConnectionType::RELAY, peers[0].connection);
    EXPECT_TRUE(logLacks(work->log(), "START PRIVATE NETWORKING"));
}

TEST_F(ConnectivityPassTest, ExceptionFromAConnectorLeavesNoThreadRunning) {
    const int before = threadCount();
    client->engines.privateConnector.shutdown();
    std::vector<Peer> peers = {self(),
                               peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 4000))};
    EXPECT_THROW(run(peers), tarn::client::UninitializedException);
    EXPECT_EQ(before, threadCount());
    EXPECT_TRUE(logLacks(work->log(), "CONNSVR_P2P_END"));
}

// Each prescribed line of a pass, checked once; the other tests check what the pass did.
TEST_F(ConnectivityPassTest, PrescribedLogLines) {
    const std::string localAddr = client->topology().localAddr;
    UdpPeer silent(localAddr);
    const Topology silentTopology =
        topology(NatType::FULL_CONE, localAddr, silent.port(), localAddr, silent.port());
    const Topology original = client->topology();
    struct Row {
        const char* what;
        std::function<void()> drive;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"nobody else",
         [&] {
             std::vector<Peer> peers;
             run(peers);
         },
         {"[test.connSvc:discoverConnectivity000] [CHECKPOINT@CONNSVR_P2P_START] INCOMING PEER LIST FOR "
          "CLIENT/GAME 21/game-9 = \n[\n]",
          "[test.connSvc:discoverConnectivity000] No peers to connect"}},
        {"uninitialized",
         [&] {
             std::vector<Peer> peers = {self(), peer(2, silentTopology)};
             run(peers, false);
         },
         {"[test.connSvc:arePreConditionsOk000] Uninitialized client 21 in game game-9; all peers need relay",
          "[test.connSvc:markPeersForRelay] [CHECKPOINT@CONNSVR_P2P_END] UDP RELAY USAGE = 1 of 1 PEER(S); "
          "FINAL PEER LIST FOR CLIENT/GAME 21/game-9 = \n[\n\t[identifier=21, connection=NONE"}},
        {"ids the wire cannot carry, once per pass",
         [&] {
             std::vector<Peer> peers = {self(), peer(3000000000L, silentTopology),
                                        peer(-3000000001L, silentTopology)};
             run(peers, false);
         },
         {"[test.connSvc:discoverConnectivity002] Client ids outside the 32-bit range match no peer on the "
          "wire "
          "and end on the relay: 3000000000, -3000000001"}},
        {"invalid topology",
         [&] {
             client->topology().nat.type = NatType::UNKNOWN;
             std::vector<Peer> peers = {self(), peer(2, silentTopology)};
             run(peers);
         },
         {"[test.connSvc:arePreConditionsOk001] Invalid topology for client 21 in game game-9; all peers "
          "need relay"}},
        {"unbindable local endpoint",
         [&] {
             client->topology().localAddr = "192.0.2.200";
             std::vector<Peer> peers = {peer(2, silentTopology)};
             run(peers);
         },
         {"[test.connSvc:discoverConnectivity001] Could not initialize messenger@192.0.2.200:"}},
        {"private and public phases",
         [&] {
             client->engines.retries = 0;
             std::vector<Peer> peers = {self(), peer(2, silentTopology)};
             run(peers);
         },
         {"[test.connSvc:doConnect000] START PRIVATE NETWORKING: reach 1 unconnected peer(s): ",
          "[test.connSvc:doConnect001] PRIVATE NETWORKING round 1: 1 peers still unconnected",
          "[test.connSvc:doConnect002] END PRIVATE NETWORKING: 1 peer(s) still unconnected: ",
          "[test.connSvc:doConnect000] START PUBLIC NETWORKING (BEHIND NON SYM NAT): reach 1 unconnected "
          "peer(s): ",
          "[test.connSvc:doConnect001] PUBLIC NETWORKING (BEHIND NON SYM NAT) round 1: 1 peers still "
          "unconnected",
          "[test.connSvc:doConnect002] END PUBLIC NETWORKING (BEHIND NON SYM NAT): 1 peer(s) still "
          "unconnected: ",
          "[test.connSvc.P2PContext:listen002] Stopping listening for peer messages"}},
        {"symmetric phase",
         [&] {
             client->topology().nat.type = NatType::SYMMETRIC;
             client->topology().nat.increment = 1;
             client->engines.retries = 0;
             std::vector<Peer> peers = {self(), peer(5, topology(NatType::SYMMETRIC, "10.255.0.5", 4000,
                                                                 localAddr, silent.port(), 1))};
             run(peers);
         },
         {"[test.connSvc:doConnect010] START PUBLIC NETWORKING (BEHIND SYM NAT): reach 1 unconnected "
          "peer(s): ",
          "[test.connSvc:doConnect011] Latest public port for client behind symmetric NAT is ",
          "[test.connSvc:doConnect012] PUBLIC NETWORKING (BEHIND SYM NAT) round 1: 1 peers still unconnected",
          "[test.connSvc:doConnect013] END PUBLIC NETWORKING (BEHIND SYM NAT): 1 peer(s) still "
          "unconnected: "}},
    };
    const int retries = client->engines.retries;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::size_t before = work->log().size();
        row.drive();
        client->topology() = original;
        client->engines.retries = retries;
        const std::string lines = work->log().substr(before);
        for (const std::string& line : row.lines) {
            EXPECT_TRUE(logHas(lines, line));
        }
    }
}

TEST(ConnectivityPassMarking, SelfAndUndecidedEntriesAndTheCount) {
    WorkDir work;
    const Topology any = topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 4000);
    std::vector<Peer> peers = {peer(1, any, ConnectionType::SELF),
                               peer(7, any),
                               peer(8, any, ConnectionType::DIRECT_PRIVATE),
                               peer(9, any, ConnectionType::DIRECT_PUBLIC),
                               peer(10, any, ConnectionType::RELAY),
                               peer(11, any, ConnectionType::SELF),
                               peer(12, any)};
    // An entry the host passed as RELAY is not counted; one the pass left for the relay is.
    std::vector<Peer> leftByThePass = peers;
    ConnectivityPass::markPeersForRelay("g", leftByThePass, "test.connSvc", 1, {4});
    ConnectivityPass::markPeersForRelay("g", peers, "test.connSvc", 1);
    const std::vector<ConnectionType> expected = {
        ConnectionType::SELF,          ConnectionType::RELAY, ConnectionType::DIRECT_PRIVATE,
        ConnectionType::DIRECT_PUBLIC, ConnectionType::RELAY, ConnectionType::SELF,
        ConnectionType::RELAY};
    for (std::size_t i = 0; i < peers.size(); ++i) {
        EXPECT_EQ(expected[i], peers[i].connection) << i;
    }
    EXPECT_TRUE(logHas(work.log(),
                       "[test.connSvc:markPeersForRelay] [CHECKPOINT@CONNSVR_P2P_END] UDP RELAY USAGE = "
                       "2 of 6 PEER(S); FINAL PEER LIST FOR CLIENT/GAME 1/g = \n[\n\t[identifier=1, "
                       "connection=NONE, topology=[NAT=[type=FULL CONE"));    EXPECT_TRUE(logHas(work.log(), "UDP RELAY USAGE = 3 of 6 PEER(S)"));
}

TEST(ConnectivityPassMarking, PeerListIgnoresTheHostsDigitGrouping) {
    WorkDir work;
    const Topology far = topology(NatType::FULL_CONE, "10.0.0.2", 13434, "192.0.2.2", 23456, 1000);
    std::vector<Peer> peers = {peer(12345, far), peer(1000000, far)};
    {
        tarn::test::ScopedGroupingLocale grouping;
        ConnectivityPass::markPeersForRelay("g", peers, "test.connSvc", 43210);
    }
    const std::string entry =
        "connection=RELAY, topology=[NAT=[type=FULL CONE, behavior=NOT SENSITIVE, increment=1000], local "
        "addr=10.0.0.2:13434, public addr=192.0.2.2:23456]]";
    EXPECT_TRUE(
        logHas(work.log(),
               "[test.connSvc:markPeersForRelay] [CHECKPOINT@CONNSVR_P2P_END] UDP RELAY USAGE = 2 of 2 "
               "PEER(S); FINAL PEER LIST FOR CLIENT/GAME 43210/g = \n[\n\t[identifier=12345, " +
                   entry + "\n\t[identifier=1000000, " + entry + "\n]\n"));
}

}  // namespace
