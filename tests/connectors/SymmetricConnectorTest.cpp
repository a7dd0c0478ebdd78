#include "tarn/client/impl/service/connection/SymmetricConnector.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConnectorFixture.h"
#include "tarn/client/ConnectionException.h"

namespace {

using namespace p2ptest;
using tarn::client::impl::service::connection::SymmetricConnector;
using tarn::client::impl::util::ReceivedMessage;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class SymmetricConnectorTest : public ConnectorFixture {
protected:
    void SetUp() override {
        ConnectorFixture::SetUp();
        own = topology(NatType::SYMMETRIC, "127.0.0.1", local->getLocalEndpoint().port(), "198.51.100.1",
                       40000, 2);
    }

    // The relay request that the round sent to the first server.
    gen::Content relayRequest() {
        ReceivedMessage received;
        EXPECT_TRUE(server->receive(received));
        EXPECT_EQ(local->getLocalEndpoint(), received.remoteEndpoint);
        return received.content;
    }

    static std::vector<Endpoint> predicted(const std::string& address, const std::vector<int>& ports) {
        std::vector<Endpoint> result;
        for (int port : ports) {
            result.push_back(endpoint(address, port));
        }
        return result;
    }
};

TEST_F(SymmetricConnectorTest, OwnPortsArePredictedFromTheLatestPortInIncrements) {
    peers = {peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 7000))};
    makeContext();
    struct Case {
        int latestPort;
        int increment;
        int candidates;
        std::vector<int> ports;
    };
    const Case cases[] = {
        {40000, 2, 3, {40002, 40004, 40006}},
        {65534, 4, 2, {1028, 1032}},               // past the highest port: increment + 1024, then onwards
        {65530, 3, 4, {65533, 1027, 1030, 1033}},  // 65536 is past it as well
        {65535, 0, 2, {65535, 65535}},             // a step of 0 never runs past it
        {0, 1, 3, {1, 2, 3}},                      // no latest port measured
        {40000, 1, 0, {}},
        {40000, 1, -2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.latestPort) + " + " + std::to_string(c.increment) + " x " +
                     std::to_string(c.candidates));
        configure("tarn.candidate_addrs", std::to_string(c.candidates));
        SymmetricConnector connector;
        initConnector(connector);
        own.nat.increment = c.increment;
        context->setPublicPort(c.latestPort);
        EndpointList dests;
        EndpointList targets;
        connector.getDestinations(dests, targets, *context);
        EXPECT_THAT(targets, ElementsAreArray(predicted("198.51.100.1", c.ports)));
        const gen::Content request = relayRequest();
        EXPECT_THAT(addressesOf(request, gen::Attribute::XOR_REFLECTED_FROM),
                    ElementsAreArray(predicted("198.51.100.1", c.ports)));
        connector.shutdown();
    }
}

TEST_F(SymmetricConnectorTest, PeersBehindKnownNonSymmetricNatsArePingedAndEveryPeerIsRelayed) {
    const NatType types[] = {NatType::NONE, NatType::FULL_CONE, NatType::RESTRICTED_CONE,
                             NatType::PORT_RESTRICTED_CONE, NatType::SYMMETRIC};
    std::vector<Endpoint> pinged;
    std::vector<Endpoint> relayed;
    peers.push_back(peer(1, own, ConnectionType::SELF));
    for (NatType type : types) {
        const int n = static_cast<int>(type);
        const Endpoint at = endpoint("192.0.2." + std::to_string(n), 7000 + n);
        peers.push_back(
            peer(10 + n, topology(type, "10.0.0." + std::to_string(n), 4000, at.address().to_string(),
                                  at.port(), type == NatType::SYMMETRIC ? 3 : 0)));
        if (type != NatType::SYMMETRIC) {
            pinged.push_back(at);
        }
        relayed.push_back(at);
    }
    peers.push_back(peer(20, topology(NatType::FULL_CONE, "10.0.0.20", 4000, "192.0.2.20", 7020),
                         ConnectionType::DIRECT_PUBLIC));
    makeContext();
    configure("tarn.candidate_addrs", "2");
    SymmetricConnector connector;
    initConnector(connector);
    EndpointList dests;
    EndpointList targets;
    connector.getDestinations(dests, targets, *context);
    EXPECT_THAT(dests, ElementsAreArray(pinged));
    EXPECT_THAT(targets, ElementsAre(endpoint("198.51.100.1", 40002), endpoint("198.51.100.1", 40004)));

    const gen::Content request = relayRequest();
    EXPECT_EQ(gen::Content::PING_RELAY, request.type());
    std::string gameId;
    EXPECT_TRUE(gen::getGameId(request, gameId));
    EXPECT_EQ(kGame, gameId);
    ASSERT_TRUE(request.has_uuid());
    EXPECT_EQ(1u, request.uuid().uuid_upper());
    EXPECT_EQ(0x7F000001u, request.uuid().uuid_lower());
    EXPECT_THAT(responseTargets(request), ElementsAreArray(relayed));
    EXPECT_THAT(addressesOf(request, gen::Attribute::XOR_REFLECTED_FROM), ElementsAreArray(targets));
    // The attribute order on the wire: game id, the peers to reach, then our predicted endpoints.
    ASSERT_EQ(8, request.attributes_size());
    EXPECT_EQ(gen::Attribute::GAME_ID, request.attributes(0).type());
    EXPECT_EQ(gen::Attribute::XOR_RESPONSE_TARGET, request.attributes(5).type());
    EXPECT_EQ(gen::Attribute::XOR_REFLECTED_FROM, request.attributes(6).type());

    std::string list = "\n[";
    for (const Endpoint& at : relayed) {
        list += "\n\t" + text(at);
    }
    list += "\n]";
    EXPECT_TRUE(logHas(work->log(), "[test.connector:getDestinations] Sent PING_RELAY message to " +
                                        text(server->endpoint()) + "; need relay to " + list));
}

TEST_F(SymmetricConnectorTest, WithoutCandidatesTheRelayIsStillAskedForAndThePingNamesNoTarget) {
    Socket peerPublic("127.0.0.2");
    peers = {
        peer(2, topology(NatType::PORT_RESTRICTED_CONE, "10.0.0.2", 4000, "127.0.0.2", peerPublic.port()))};
    makeContext();
    configure("tarn.candidate_addrs", "0");
    configure("tarn.timeout.nat.sym", "50");
    SymmetricConnector connector;
    initConnector(connector);
    connector.connect(*context);
    const gen::Content request = relayRequest();
    EXPECT_EQ(gen::Content::PING_RELAY, request.type());
    EXPECT_THAT(responseTargets(request), ElementsAre(peerPublic.endpoint()));
    EXPECT_THAT(addressesOf(request, gen::Attribute::XOR_REFLECTED_FROM), IsEmpty());
    ReceivedMessage ping;
    ASSERT_TRUE(peerPublic.receive(ping));
    EXPECT_EQ(gen::Content::PING_DIRECT, ping.content.type());
    EXPECT_THAT(responseTargets(ping.content), IsEmpty());
}

TEST_F(SymmetricConnectorTest, HeldRelayedPingsAreAnsweredRightAfterTheRoundsDirectPing) {
    // The peer's NAT mapping and a second socket of the peer that shows when the listener is idle.
    Socket peerPublic("127.0.0.2");
    Socket probe("127.0.0.1");
    peers = {
        peer(2, topology(NatType::PORT_RESTRICTED_CONE, "127.0.0.1", 4000, "127.0.0.2", peerPublic.port()))};
    makeContext();
    configure("tarn.candidate_addrs", "1");
    configure("tarn.timeout.nat.sym", "50");
    SymmetricConnector connector;
    initConnector(connector);
    context->startListening();
    server->send(peerMessage(gen::Content::PING_DIRECT, kGame, 2, "127.0.0.1", {peerPublic.endpoint()}),
                 local->getLocalEndpoint());
    probe.send(peerMessage(gen::Content::PING_DIRECT, kGame, 2, "127.0.0.1", {probe.endpoint()}),
               local->getLocalEndpoint());
    ReceivedMessage message;
    ASSERT_TRUE(probe.receive(message));
    EXPECT_FALSE(peerPublic.receive(message, 0));

    // The answer would take a new port of our NAT: the direct ping must have taken it first.
    context->setPublicPort(40000);
    EXPECT_FALSE(peerPublic.receive(message, 100));
    connector.connect(*context);
    ASSERT_TRUE(peerPublic.receive(message));
    EXPECT_EQ(gen::Content::PING_DIRECT, message.content.type());
    EXPECT_THAT(responseTargets(message.content), ElementsAre(endpoint("198.51.100.1", 40002)));
    ASSERT_TRUE(peerPublic.receive(message));
    EXPECT_EQ(gen::Content::PING_RESP, message.content.type());
    EXPECT_EQ(gen::Content::PING_RELAY, relayRequest().type());
}

TEST_F(SymmetricConnectorTest, OwnPublicAddressIsBuiltOnlyForPredictedPorts) {
    own.publicAddr = "own..bad";
    peers = {peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 7000))};
    makeContext();
    struct Case {
        int candidates;
        bool throws;
    };
    for (const Case& c : {Case{0, false}, Case{-1, false}, Case{1, true}}) {
        SCOPED_TRACE(c.candidates);
        configure("tarn.candidate_addrs", std::to_string(c.candidates));
        SymmetricConnector connector;
        initConnector(connector);
        EndpointList dests;
        EndpointList targets;
        if (c.throws) {
            EXPECT_THROW(connector.getDestinations(dests, targets, *context),
                         tarn::client::ConnectionException);
        } else {
            connector.getDestinations(dests, targets, *context);
            EXPECT_THAT(dests, ElementsAre(endpoint("192.0.2.2", 7000)));
            EXPECT_THAT(targets, IsEmpty());
            EXPECT_THAT(responseTargets(relayRequest()), ElementsAre(endpoint("192.0.2.2", 7000)));
        }
        connector.shutdown();
    }
}

TEST_F(SymmetricConnectorTest, RoundWithNobodyLeftAsksForNoRelay) {
    peers = {
        peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "192.0.2.2", 7000), ConnectionType::RELAY)};
    makeContext();
    SymmetricConnector connector;
    initConnector(connector);
    connector.connect(*context);
    sendMarker(server->endpoint());
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
