#include "tarn/client/impl/service/connection/PrivateNetworkConnector.h"

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConnectorFixture.h"
#include "tarn/client/ConnectionException.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::P2PContext;
using tarn::client::impl::service::connection::PrivateNetworkConnector;
using tarn::client::impl::util::Messenger;
using ::testing::ElementsAre;

class PrivateNetworkConnectorTest : public ConnectorFixture {};

TEST_F(PrivateNetworkConnectorTest, DestinationsAreTheOwnLocalEndpointsOfThePeersStillToReach) {
    const Topology first = topology(NatType::PORT_RESTRICTED_CONE, "10.0.0.1", 4001, "192.0.2.1", 7001);
    const Topology second = topology(NatType::SYMMETRIC, "127.0.0.2", 4005, "192.0.2.5", 7005, 1);
    Topology invalid = first;
    invalid.publicAddr.clear();
    peers = {peer(1, own, ConnectionType::SELF),
             peer(2, first),
             peer(3, first, ConnectionType::DIRECT_PUBLIC),
             peer(4, invalid),
             peer(5, first, ConnectionType::RELAY),
             peer(6, second)};
    makeContext();
    PrivateNetworkConnector connector;
    initConnector(connector);
    EndpointList dests;
    EndpointList targets;
    connector.getDestinations(dests, targets, *context);
    EXPECT_THAT(dests, ElementsAre(endpoint("10.0.0.1", 4001), endpoint("127.0.0.2", 4005)));
    EXPECT_THAT(targets, ElementsAre(local->getLocalEndpoint()));
}

TEST_F(PrivateNetworkConnectorTest, RoundWithNobodyLeftSendsNothingAndReturnsAtOnce) {
    UdpPeer silent("127.0.0.1");
    const Topology reached = topology(NatType::NONE, "127.0.0.1", silent.port(), "127.0.0.1", silent.port());
    peers = {peer(2, reached, ConnectionType::DIRECT_PRIVATE), peer(3, reached, ConnectionType::RELAY)};
    useManualClock();
    makeContext();
    configure("tarn.timeout.private", "3000");
    PrivateNetworkConnector connector;
    initConnector(connector);
    EndpointList dests;
    EndpointList targets;
    connector.getDestinations(dests, targets, *context);
    EXPECT_TRUE(dests.empty());
    EXPECT_TRUE(targets.empty());

    const auto start = manual.now();
    manual.runStepping([&] { connector.connect(*context); });
    EXPECT_EQ(0, manualMsSince(start));
    sendMarker(silent.local());
    Received received;
    ASSERT_TRUE(silent.receive(received));
    EXPECT_EQ(gen::Content::BIND_REQ, received.message.type());
}

TEST_F(PrivateNetworkConnectorTest, MalformedPeerAddressEndsTheRound) {
    peers = {peer(2, topology(NatType::NONE, "peer..bad", 4001, "192.0.2.1", 4001))};
    makeContext();
    PrivateNetworkConnector connector;
    initConnector(connector);
    EndpointList dests;
    EndpointList targets;
    EXPECT_THROW(connector.getDestinations(dests, targets, *context), tarn::client::ConnectionException);
    EXPECT_THROW(connector.connect(*context), tarn::client::ConnectionException);
}

TEST_F(PrivateNetworkConnectorTest,
       RoundPingsSilentPeersAfterEveryWaitStepNamingOurEndpointAndWaitsItsTimeout) {
    UdpPeer first("127.0.0.1");
    UdpPeer second("127.0.0.2");
    peers = {peer(2, topology(NatType::NONE, "127.0.0.1", first.port(), "127.0.0.1", first.port())),
             peer(3, topology(NatType::NONE, "127.0.0.2", second.port(), "127.0.0.2", second.port()))};
    useManualClock();
    makeContext();
    configure("tarn.timeout.private", "200");
    PrivateNetworkConnector connector;
    initConnector(connector);
    const auto start = manual.now();
    manual.runStepping([&] { connector.connect(*context); });
    EXPECT_EQ(200, manualMsSince(start));
    // The round's ping, then the same ping again after each of the first three of its four steps.
    for (UdpPeer* socket : {&first, &second}) {
        for (int send = 0; send < 4; ++send) {
            Received ping;
            ASSERT_TRUE(socket->receive(ping)) << "send " << send;
            EXPECT_EQ(gen::Content::PING_DIRECT, ping.message.type());
            EXPECT_EQ(local->getLocalEndpoint(), ping.from);
            EXPECT_THAT(responseTargets(ping.message), ElementsAre(local->getLocalEndpoint()));
            std::string gameId;
            EXPECT_TRUE(gen::getGameId(ping.message, gameId));
            EXPECT_EQ(kGame, gameId);
        }
        Received extra;
        EXPECT_FALSE(socket->receive(extra, 0)) << "a fifth ping in one round";
    }
    EXPECT_TRUE(logHas(work->log(), "[test.connector:waitFor] test.connector@" +
                                        text(local->getLocalEndpoint()) + " stopped listening after 200 ms"));
}

TEST_F(PrivateNetworkConnectorTest, APingWhoseAnswerIsLostIsSentAgainWithinTheRound) {
    UdpPeer remote("127.0.0.1");
    peers = {peer(1, own, ConnectionType::SELF),
             peer(2, topology(NatType::NONE, "127.0.0.1", remote.port(), "127.0.0.1", remote.port()))};
    makeContext();
    context->startListening();
    configure("tarn.timeout.private", "400");
    PrivateNetworkConnector connector;
    initConnector(connector);
    auto round = std::async(std::launch::async, [&] { connector.connect(*context); });
    // The answer to the first ping is lost; the second ping, after the first wait step, is answered.
    Received ping;
    ASSERT_TRUE(remote.receive(ping));
    ASSERT_TRUE(remote.receive(ping));
    EXPECT_EQ(gen::Content::PING_DIRECT, ping.message.type());
    remote.send(local->getLocalEndpoint(), peerMessage(gen::Content::PING_RESP, kGame, 2, "127.0.0.1"));
    round.get();
    context->stopListening();
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[1].connection);
    EXPECT_TRUE(logLacks(work->log(), "stopped listening after"));
}

TEST_F(PrivateNetworkConnectorTest, RoundEndsAsSoonAsTheOtherClientAnswers) {
    // The other client: its own messenger and listening context, with us in its peer list.
    Messenger remote("127.0.0.1", 0);
    remote.setName("test.remote");
    ASSERT_TRUE(remote.init());
    Topology remoteTopology = topology(NatType::NONE, "127.0.0.1", remote.getLocalEndpoint().port(),
                                       "127.0.0.1", remote.getLocalEndpoint().port());
    std::vector<Peer> remotePeers = {peer(1, own), peer(2, remoteTopology, ConnectionType::SELF)};
    P2PContext remoteContext(2, kGame, remote, remotePeers, remoteTopology);
    remoteContext.setName("test.remoteContext");
    remoteContext.init();
    remoteContext.startListening();

    peers = {peer(1, own, ConnectionType::SELF), peer(2, remoteTopology)};
    makeContext();
    context->startListening();
    configure("tarn.timeout.private", "5000");
    PrivateNetworkConnector connector;
    initConnector(connector);
    const auto start = std::chrono::steady_clock::now();
    connector.connect(*context);
    EXPECT_LT(millisecondsSince(start), 1000);
    context->shutdown();
    // Our confirmation may still be on its way to the other side: its own wait ends with it.
    remoteContext.waitFor("test.remoteWait", std::chrono::seconds(5));
    remoteContext.shutdown();
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[1].connection);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, remotePeers[0].connection);
    remote.shutdown();
}

}  // namespace
