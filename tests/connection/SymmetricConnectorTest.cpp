#include "tarn/client/impl/service/connection/SymmetricConnector.h"

#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConnectorFixture.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::SymmetricConnector;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class SymmetricConnectorTest : public ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        own = topology(NatType::SYMMETRIC, "127.0.0.1", local->getLocalEndpoint().port(), "198.51.100.1",
                       40000, 2);
    }

    // The relay request that the round sent to the first server.
    gen::Content relayRequest() {
        Received received;
        EXPECT_TRUE(server->receive(received));
        EXPECT_EQ(local->getLocalEndpoint(), received.from);
        return received.message;
    }
};

TEST_F(SymmetricConnectorTest,
       NonSymmetricPeersArePingedAndEverySymmetricPeerGetsARelayRequestForItsOwnBlock) {
    const NatType types[] = {NatType::NONE,
                             NatType::FULL_CONE,
                             NatType::SYMMETRIC,
                             NatType::RESTRICTED_CONE,
                             NatType::PORT_RESTRICTED_CONE,
                             NatType::SYMMETRIC};
    std::vector<Endpoint> pinged;
    std::vector<Endpoint> symmetric;
    peers.push_back(peer(1, own, ConnectionType::SELF));
    for (std::size_t i = 0; i < std::size(types); ++i) {
        const int n = static_cast<int>(i);
        const Endpoint at = endpoint("192.0.2." + std::to_string(n), 7000 + n);
        peers.push_back(
            peer(10 + n, topology(types[i], "10.0.0." + std::to_string(n), 4000, at.address().to_string(),
                                  at.port(), types[i] == NatType::SYMMETRIC ? 3 : 0)));
        (types[i] == NatType::SYMMETRIC ? symmetric : pinged).push_back(at);
    }
    peers.push_back(peer(20, topology(NatType::FULL_CONE, "10.0.0.20", 4000, "192.0.2.20", 7020),
                         ConnectionType::DIRECT_PUBLIC));
    makeContext();
    // Prediction starts from the latest port measured for the pass, not the discovered one.
    context->setPublicPort(50000);
    configure("tarn.candidate_addrs", "2");
    SymmetricConnector connector;
    initConnector(connector);
    EndpointList dests;
    EndpointList targets;
    connector.getDestinations(dests, targets, *context);
    EXPECT_FALSE(server->pending());
    connector.afterPings(*context);
    // The four direct pings take the ports 50002..50008; then come the two blocks of two answers.
    EXPECT_THAT(dests, ElementsAreArray(pinged));
    const auto own = [](int port) { return endpoint("198.51.100.1", port); };
    EXPECT_THAT(targets, ElementsAre(own(50002), own(50004)));
    struct Expected {
        std::vector<Endpoint> peers;
        std::vector<Endpoint> ports;
    };
    const Expected requests[] = {{{symmetric[0]}, {own(50010), own(50012)}},
                                 {{symmetric[1]}, {own(50014), own(50016)}},
                                 {pinged, {own(50002), own(50004)}}};
    for (const Expected& expected : requests) {
        const gen::Content request = relayRequest();
        EXPECT_EQ(gen::Content::PING_RELAY, request.type());
        std::string gameId;
        EXPECT_TRUE(gen::getGameId(request, gameId));
        EXPECT_EQ(kGame, gameId);
        ASSERT_TRUE(request.has_uuid());
        EXPECT_EQ(1u, request.uuid().uuid_upper());
        EXPECT_EQ(0x7F000001u, request.uuid().uuid_lower());
        EXPECT_THAT(responseTargets(request), ElementsAreArray(expected.peers));
        EXPECT_THAT(addressesOf(request, gen::Attribute::XOR_REFLECTED_FROM),
                    ElementsAreArray(expected.ports));
        // The attribute order on the wire: game id, the peers to reach, then our predicted endpoints.
        ASSERT_EQ(static_cast<int>(1 + expected.peers.size() + expected.ports.size()),
                  request.attributes_size());
        EXPECT_EQ(gen::Attribute::GAME_ID, request.attributes(0).type());
        EXPECT_EQ(gen::Attribute::XOR_REFLECTED_FROM,
                  request.attributes(request.attributes_size() - 1).type());
        std::string list = "\n[";
        for (const Endpoint& at : expected.peers) {
            list += "\n\t" + text(at);
        }
        EXPECT_TRUE(logHas(work->log(), "[test.connector:getDestinations] Sent PING_RELAY message to " +
                                            text(server->local()) + "; need relay to " + list + "\n]"));
    }
}

TEST_F(SymmetricConnectorTest, HeldRelayedPingsAreAnsweredRightAfterTheRoundsDirectPing) {
    // The peer's NAT mapping and a second socket on its public address that shows when the
    // listener is idle. Its local address lies outside our subnet: primers go to no peer that
    // may share our network.
    UdpPeer peerPublic("127.0.0.2");
    UdpPeer probe("127.0.0.2");
    peers = {
        peer(2, topology(NatType::PORT_RESTRICTED_CONE, "10.9.0.2", 4000, "127.0.0.2", peerPublic.port()))};
    makeContext();
    configure("tarn.candidate_addrs", "1");
    configure("tarn.timeout.nat.sym", "50");
    SymmetricConnector connector;
    initConnector(connector);
    context->startListening();
    server->send(local->getLocalEndpoint(),
                 peerMessage(gen::Content::PING_DIRECT, kGame, 2, "10.9.0.2", {peerPublic.local()}));
    probe.send(local->getLocalEndpoint(),
               peerMessage(gen::Content::PING_DIRECT, kGame, 2, "10.9.0.2", {probe.local()}));
    Received message;
    ASSERT_TRUE(probe.receive(message));
    EXPECT_FALSE(peerPublic.receive(message, 0));

    // The answer would take a new port of our NAT: the direct ping must have taken it first.
    context->setPublicPort(40000);
    EXPECT_FALSE(peerPublic.receive(message, 100));
    connector.connect(*context);
    // Two primers, which open the mapping, then the answer through it.
    for (int primer = 0; primer < 2; ++primer) {
        ASSERT_TRUE(peerPublic.receive(message));
        EXPECT_EQ(gen::Content::PING_DIRECT, message.message.type());
        EXPECT_THAT(responseTargets(message.message), ElementsAre(endpoint("198.51.100.1", 40002)));
    }
    ASSERT_TRUE(peerPublic.receive(message));
    EXPECT_EQ(gen::Content::PING_RESP, message.message.type());
    EXPECT_EQ(gen::Content::PING_RELAY, relayRequest().type());
}

TEST_F(SymmetricConnectorTest, PrimersLeaveBeforeTheRelayRequestAndTheRealPingAfterIt) {
    // The peer's public endpoint is the server's socket, so one queue shows the order on the wire.
    peers = {peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "127.0.0.2", server->port()))};
    makeContext();
    SymmetricConnector connector;
    initConnector(connector);
    const SymmetricConnector::Sent sent = connector.start(*context);
    connector.resend(*context, sent);
    const gen::Content::Type order[] = {gen::Content::PING_DIRECT, gen::Content::PING_DIRECT,
                                        gen::Content::PING_RELAY, gen::Content::PING_DIRECT,
                                        gen::Content::PING_RELAY};
    for (const gen::Content::Type type : order) {
        EXPECT_EQ(type, relayRequest().type());
    }
    EXPECT_FALSE(server->pending());
}

TEST_F(SymmetricConnectorTest, SymmetricPeersAreAnsweredInBlockOrderAndAMissingBlocksPortsAreUsedUp) {
    UdpPeer peerA("127.0.0.2");
    UdpPeer peerB("127.0.0.3");
    peers = {peer(2, topology(NatType::SYMMETRIC, "10.0.0.2", 4000, "127.0.0.2", 30000, 1)),
             peer(3, topology(NatType::SYMMETRIC, "10.0.0.3", 4000, "127.0.0.3", 31000, 1))};
    makeContext();
    configure("tarn.candidate_addrs", "2");
    configure("tarn.timeout.nat.sym", "40");
    SymmetricConnector connector;
    initConnector(connector);
    context->startListening();
    // Only B's relayed ping comes, naming three of B's ports; A's block comes first in the schedule.
    server->send(local->getLocalEndpoint(), peerMessage(gen::Content::PING_DIRECT, kGame, 3, "10.0.0.3",
                                                        {peerB.local(), peerB.local(), peerB.local()}));
    Received held;
    const gen::Content probe = peerMessage(gen::Content::PING_DIRECT, kGame, 3, "10.0.0.3", {peerB.local()});
    peerB.send(local->getLocalEndpoint(), probe);
    ASSERT_TRUE(peerB.receive(held));
    context->setPublicPort(40000);
    connector.connect(*context);
    // A's two ports are used up (primers below B's listed port) before B gets its block's two answers:
    // first as primers (two each, which loopback delivers), then for real.
    for (int i = 0; i < 6; ++i) {
        Received answer;
        ASSERT_TRUE(peerB.receive(answer));
        EXPECT_EQ(gen::Content::PING_RESP, answer.message.type());
    }
    Received extra;
    EXPECT_FALSE(peerB.receive(extra, 100)) << gen::messageToString(extra.message);
    context->stopListening();
    const std::string log = work->log();
    const auto fill = log.find("Sent a primer with time-to-live 2 from " + text(local->getLocalEndpoint()) +
                               " to 127.0.0.3:30998");
    const auto answers = log.find("byte sized PING_RESP from " + text(local->getLocalEndpoint()) +
                                  " to \n[\n\t" + text(peerB.local()) + "\n\t" + text(peerB.local()) + "\n]");
    ASSERT_NE(std::string::npos, fill);
    ASSERT_NE(std::string::npos, answers);
    EXPECT_LT(fill, answers);
}

TEST_F(SymmetricConnectorTest, RoundWithNobodyLeftAsksForNoRelay) {
    peers = {
        peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 7000), ConnectionType::RELAY)};
    makeContext();
    SymmetricConnector connector;
    initConnector(connector);
    connector.connect(*context);
    sendMarker(server->local());
    EXPECT_EQ(gen::Content::BIND_REQ, relayRequest().type());
}

TEST_F(SymmetricConnectorTest, InitNeedsTheFirstServerAndStoresItsOwnDefaults) {
    SymmetricConnector connector;
    connector.setName("test.connector");
    config().getValues().erase("tarn.addr.1");
    config().getValues().erase("tarn.port.1");
    EXPECT_FALSE(connector.init());
    EXPECT_EQ("500", config().getString("tarn.timeout.nat.sym"));
    EXPECT_EQ("30", config().getString("tarn.candidate_addrs"));
    EXPECT_FALSE(config().hasValue("tarn.port.1"));
    EXPECT_TRUE(logHas(work->log(),
                       "[test.connector:doConnectorInit] [tarn::client::impl::Network:initEndpoint000] "
                       "Illegal IP address value: "));

    configure("tarn.addr.1", "127.0.0.2");
    EXPECT_TRUE(connector.init());
    EXPECT_FALSE(config().hasValue("tarn.port.1"));
    connector.shutdown();
}

}  // namespace
