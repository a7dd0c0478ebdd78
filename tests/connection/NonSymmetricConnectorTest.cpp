#include "tarn/client/impl/service/connection/NonSymmetricConnector.h"

#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConnectorFixture.h"
#include "tarn/client/impl/service/connection/P2PListener.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::NonSymmetricConnector;
using tarn::client::impl::service::connection::P2PListener;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class NonSymmetricConnectorTest : public ConnectorFixture {};

const NatType kPeerTypes[] = {NatType::NONE, NatType::FULL_CONE, NatType::RESTRICTED_CONE,
                              NatType::PORT_RESTRICTED_CONE, NatType::SYMMETRIC};

// The public endpoint of the test peer behind each NAT type.
Endpoint publicOf(NatType type) {
    return endpoint("192.0.2." + std::to_string(static_cast<int>(type)), 7000 + static_cast<int>(type));
}

TEST_F(NonSymmetricConnectorTest, DestinationsDependOnBothNatTypes) {
    for (NatType type : kPeerTypes) {
        const Endpoint at = publicOf(type);
        peers.push_back(
            peer(10 + static_cast<int>(type),
                 topology(type, "10.0.0." + std::to_string(static_cast<int>(type)), 4000,
                          at.address().to_string(), at.port(), type == NatType::SYMMETRIC ? 1 : 0)));
    }
    const std::vector<Endpoint> everyPeer = {
        publicOf(NatType::NONE), publicOf(NatType::FULL_CONE), publicOf(NatType::RESTRICTED_CONE),
        publicOf(NatType::PORT_RESTRICTED_CONE), publicOf(NatType::SYMMETRIC)};
    const std::vector<Endpoint> allButSymmetric(everyPeer.begin(), everyPeer.end() - 1);
    struct Case {
        NatType own;
        std::vector<Endpoint> dests;
    };
    const Case cases[] = {
        {NatType::UNKNOWN, {}},
        {NatType::NONE, everyPeer},
        {NatType::FULL_CONE, everyPeer},
        {NatType::RESTRICTED_CONE, everyPeer},
        {NatType::PORT_RESTRICTED_CONE, allButSymmetric},
        {NatType::SYMMETRIC, {}},
    };
    own.publicAddr = "198.51.100.1";
    own.publicPort = 6000;
    makeContext();
    NonSymmetricConnector connector;
    initConnector(connector);
    for (const Case& c : cases) {
        SCOPED_TRACE(tarn::client::toString(c.own));
        own.nat.type = c.own;
        EndpointList dests;
        EndpointList targets;
        connector.getDestinations(dests, targets, *context);
        EXPECT_THAT(dests, ElementsAreArray(c.dests));
        EXPECT_THAT(targets, ElementsAre(endpoint("198.51.100.1", 6000)));
    }
}

TEST_F(NonSymmetricConnectorTest, SymmetricPeerBehindOurPortRestrictedNatIsNotPingedButWaitedFor) {
    UdpPeer peerPublic("127.0.0.2");
    own.nat.type = NatType::PORT_RESTRICTED_CONE;
    peers = {peer(2, topology(NatType::SYMMETRIC, "10.0.0.2", 4000, "127.0.0.2", peerPublic.port(), 1))};
    useManualClock();
    makeContext();
    configure("tarn.timeout.nat", "150");
    NonSymmetricConnector connector;
    initConnector(connector);
    const auto start = manual.now();
    manual.runStepping([&] { connector.connect(*context); });
    // Steps of 37 ms: four add up to 148, so a fifth is begun.
    EXPECT_EQ(185, manualMsSince(start));
    sendMarker(peerPublic.local());
    Received received;
    ASSERT_TRUE(peerPublic.receive(received));
    EXPECT_EQ(gen::Content::BIND_REQ, received.message.type());
}

TEST_F(NonSymmetricConnectorTest, RoundPingsPublicEndpointsAndAsksForAnswersAtOursAsTheListenerKnowsIt) {
    UdpPeer peerPublic("127.0.0.2");
    own.publicAddr = "127.0.0.1";
    own.publicPort = 6000;
    peers = {peer(2, topology(NatType::FULL_CONE, "10.0.0.2", 4000, "127.0.0.2", peerPublic.port())),
             peer(3, topology(NatType::FULL_CONE, "10.0.0.3", 4000, "127.0.0.2", peerPublic.port()))};
    makeContext();
    context->startListening();
    // An answer of one peer tells us that our public port is another one.
    gen::Content answer = peerMessage(gen::Content::PING_RESP, kGame, 2, "10.0.0.2");
    gen::addAddress(answer, gen::Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint("127.0.0.1", 6100), true);
    peerPublic.send(local->getLocalEndpoint(), answer);
    for (int copy = 0; copy < P2PListener::kConfirmCopies; ++copy) {
        Received confirm;
        ASSERT_TRUE(peerPublic.receive(confirm));
        ASSERT_EQ(gen::Content::PING_CONFIRM, confirm.message.type());
    }

    configure("tarn.timeout.nat", "100");
    NonSymmetricConnector connector;
    initConnector(connector);
    connector.connect(*context);
    context->shutdown();
    Received ping;
    ASSERT_TRUE(peerPublic.receive(ping));
    EXPECT_EQ(gen::Content::PING_DIRECT, ping.message.type());
    EXPECT_THAT(responseTargets(ping.message), ElementsAre(endpoint("127.0.0.1", 6100)));
}

}  // namespace
