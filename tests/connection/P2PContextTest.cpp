#include "tarn/client/impl/service/connection/P2PContext.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContextFixture.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::P2PContext;

// A context on 127.0.0.1 whose peers are set per test.
class P2PContextTest : public ContextFixture {
protected:
    std::string waitLine(int timeoutMs) const {
        return "[test.caller:waitFor] test.caller@" + text(local->getLocalEndpoint()) +
               " stopped listening after " + std::to_string(timeoutMs) + " ms";
    }
};

TEST_F(P2PContextTest, PeersStillToReachAreUndecidedWithAValidTopology) {
    const Topology valid = topology(NatType::FULL_CONE, "10.0.0.2", 2000, "192.0.2.2", 2000);
    Topology noPublicPort = valid;
    noPublicPort.publicPort = 0;
    Topology anyAddress = valid;
    anyAddress.localAddr = "0.0.0.0";
    Topology unknownNat = valid;
    unknownNat.nat.type = NatType::UNKNOWN;
    struct Case {
        Peer entry;
        bool stillToReach;
    };
    const std::vector<Case> cases = {
        {peer(1, valid), true},
        {peer(2, valid, ConnectionType::DIRECT_PRIVATE), false},
        {peer(3, valid, ConnectionType::DIRECT_PUBLIC), false},
        {peer(4, valid, ConnectionType::RELAY), false},
        {peer(5, valid, ConnectionType::SELF), false},
        {peer(6, noPublicPort), false},
        {peer(7, anyAddress), false},
        {peer(8, unknownNat), false},
        {peer(9, valid), true},
    };
    useManualClock();
    std::vector<long> expected;
    for (const Case& c : cases) {
        peers.push_back(c.entry);
        if (c.stillToReach) {
            expected.push_back(c.entry.identifier);
        }
    }
    makeContext(100);
    std::vector<Peer> unconnected = {peer(99, valid)};
    context->getUnconnectedPeers(unconnected);
    std::vector<long> found;
    for (const Peer& p : unconnected) {
        found.push_back(p.identifier);
    }
    EXPECT_EQ(expected, found);
    EXPECT_EQ(static_cast<int>(expected.size()), context->countUnconnectedPeers());

    // A pass with nobody to reach waits no time and says nothing.
    for (Peer& p : peers) {
        p.connection = p.connection == ConnectionType::NONE ? ConnectionType::RELAY : p.connection;
    }
    context->getUnconnectedPeers(unconnected);
    EXPECT_TRUE(unconnected.empty());
    const auto start = manual.now();
    manual.runStepping([&] { context->waitFor("test.caller", std::chrono::seconds(5)); });
    EXPECT_EQ(0, manualMsSince(start));
    EXPECT_TRUE(logLacks(work->log(), ("waitFor")));
}

TEST_F(P2PContextTest, PrepareMessageStampsTheGameAndTheSenderOnTheWire) {
    makeContext(-5);
    gen::Content message;
    context->prepareMessage(message, gen::Content::PING_DIRECT, {endpoint("127.0.0.2", 5000)});
    unsigned char buffer[2048];
    const std::size_t length = gen::serializeMessage(message, buffer, sizeof buffer);
    const std::vector<unsigned char> expected = {
        0x08, 0x14,                                      // field 1 (type), varint 20 = PING_DIRECT
        0x1A, 0x12,                                      // field 3 (uuid), 18 bytes
        0x09,                                            //   field 1 (uuid_upper), fixed64:
        0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //   client id -5 sign-extended
        0x11,                                            //   field 2 (uuid_lower), fixed64:
        0x01, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x00, 0x00,  //   127.0.0.1 as 0x7F000001
        0x22, 0x06,                                      // field 4 (attribute), 6 bytes
        0x08, 0x06,                                      //   field 1 (type), varint 6 = GAME_ID
        0x22, 0x02, 'g',  '1',                           //   field 4 (gameID), "g1"
        0x22, 0x0D,                                      // field 4 (attribute), 13 bytes
        0x08, 0x04,                                      //   field 1 (type), varint 4 = XOR_RESPONSE_TARGET
        0x12, 0x09,                                      //   field 2 (address), 9 bytes
        0x08, 0x88, 0x27,                                //     field 1 (port), varint 5000
        0x12, 0x04, 0x5E, 0x12, 0xA4, 0x40,              //     field 2 (address), 127.0.0.2 ^ 21 12 A4 42
    };
    EXPECT_EQ(expected, std::vector<unsigned char>(buffer, buffer + length));

    gen::Content plain;
    context->prepareMessage(plain, gen::Content::PING_CONFIRM);
    EXPECT_EQ(gen::Content::PING_CONFIRM, plain.type());
    EXPECT_EQ(1, plain.attributes_size());
    EXPECT_EQ(message.uuid().uuid_upper(), plain.uuid().uuid_upper());
}

TEST_F(P2PContextTest, WaitForWithNobodyAnsweringResendsAfterEveryStepAndTakesWholeSteps) {
    peers = {peer(7, topology(NatType::NONE, "127.0.0.1", 9, "127.0.0.1", 9))};
    useManualClock();
    makeContext(1);
    struct Case {
        int timeoutMs;
        std::vector<long long> resendsAtMs;
        long long endMs;  // a step counts whole once begun: 501 ms in quarters takes five of 125 ms
    };
    const Case cases[] = {
        {501, {125, 250, 375, 500}, 625},
        {40, {10, 20, 30}, 40},
        {3, {1, 2}, 3},  // steps are at least 1 ms long
        {0, {}, 0},
        {-5, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeoutMs);
        const auto start = manual.now();
        std::vector<long long> resends;
        manual.runStepping([&] {
            context->waitFor("test.caller", std::chrono::milliseconds(c.timeoutMs),
                             [&] { resends.push_back(manualMsSince(start)); });
        });
        EXPECT_EQ(c.resendsAtMs, resends);
        EXPECT_EQ(c.endMs, manualMsSince(start));
        EXPECT_TRUE(logHas(work->log(), waitLine(c.timeoutMs)));
    }
}

TEST_F(P2PContextTest, WaitForEndsAsSoonAsTheLastPeerAnswers) {
    UdpPeer first("127.0.0.1");
    UdpPeer second("127.0.0.1");
    peers = {peer(7, topology(NatType::NONE, "127.0.0.1", first.port(), "127.0.0.1", first.port())),
             peer(8, topology(NatType::NONE, "127.0.0.1", second.port(), "127.0.0.1", second.port()))};
    makeContext(1);
    context->startListening();
    const int timeoutMs = 4000;
    const auto start = std::chrono::steady_clock::now();
    // The answers come while the round waits: one early, the last well inside the first step.
    std::thread answers([&] {
        first.send(local->getLocalEndpoint(), peerMessage(gen::Content::PING_CONFIRM, kGame, 7, "127.0.0.1"));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        second.send(local->getLocalEndpoint(),
                    peerMessage(gen::Content::PING_CONFIRM, kGame, 8, "127.0.0.1"));
    });
    context->waitFor("test.caller", std::chrono::milliseconds(timeoutMs));
    const long long spent = millisecondsSince(start);
    answers.join();
    EXPECT_EQ(0, context->countUnconnectedPeers());
    EXPECT_GE(spent, 150);
    // A fixed quarter-step sleep would have cost at least 1000 ms.
    EXPECT_LT(spent, 900);
    context->shutdown();
    EXPECT_TRUE(logLacks(work->log(), ("waitFor")));
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[0].connection);
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[1].connection);
}

TEST_F(P2PContextTest, AnswerInTheFinalStepStillEndsWithTheTimeoutLine) {
    UdpPeer other("127.0.0.1");
    peers = {peer(7, topology(NatType::NONE, "127.0.0.1", other.port(), "127.0.0.1", other.port()))};
    useManualClock();
    makeContext(1);
    context->startListening();
    // Steps of 300 ms: the answer comes at the start of the fourth and final one.
    const auto start = manual.now();
    int resends = 0;
    manual.runStepping([&] {
        context->waitFor("test.caller", std::chrono::milliseconds(1200), [&] {
            if (++resends < 3) {
                return;
            }
            other.send(local->getLocalEndpoint(),
                       peerMessage(gen::Content::PING_CONFIRM, kGame, 7, "127.0.0.1"));
            // The listener gives no signal of its own: the clock stands still until it has marked.
            for (int turn = 0; turn < 2000 && context->countUnconnectedPeers() > 0; ++turn) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    });
    context->shutdown();
    EXPECT_EQ(ConnectionType::DIRECT_PRIVATE, peers[0].connection);
    EXPECT_EQ(900, manualMsSince(start));
    EXPECT_TRUE(logHas(work->log(), waitLine(1200)));
}

TEST_F(P2PContextTest, ListenerEndsWithShutdownOrWithTheContext) {
    peers = {peer(7, topology(NatType::NONE, "127.0.0.1", 9, "127.0.0.1", 9))};
    const int before = threadCount();
    makeContext(1);
    context->startListening();
    EXPECT_EQ(before + 1, threadCount());
    context->shutdown();
    EXPECT_EQ(before, threadCount());
    // Stopping twice, or with no listener, returns at once.
    context->stopListening();
    context->shutdown();

    makeContext(1);
    context->startListening();
    context->startListening();
    EXPECT_EQ(before + 1, threadCount());
    context.reset();
    EXPECT_EQ(before, threadCount());
}

TEST_F(P2PContextTest, ContextWithoutServerListStillAnswersAndStops) {
    UdpPeer other("127.0.0.1");
    peers = {peer(7, topology(NatType::NONE, "127.0.0.1", other.port(), "127.0.0.1", other.port()))};
    const int before = threadCount();
    context.reset(new P2PContext(1, kGame, *local, peers, own));
    context->setName("test.P2PContext");
    EXPECT_TRUE(context->init());
    context->startListening();
    other.send(local->getLocalEndpoint(),
               peerMessage(gen::Content::PING_DIRECT, kGame, 7, "127.0.0.1", {other.local()}));
    Received answer;
    ASSERT_TRUE(other.receive(answer));
    EXPECT_EQ(gen::Content::PING_RESP, answer.message.type());
    context->shutdown();
    EXPECT_EQ(before, threadCount());
}

TEST_F(P2PContextTest, PublicPortStartsAtTheTopologysAndIsReplaced) {
    own.publicPort = 40000;
    makeContext(1);
    EXPECT_EQ(40000, context->getPublicPort());
    context->setPublicPort(41000);
    EXPECT_EQ(41000, context->getPublicPort());
    EXPECT_EQ(40000, context->getTopology().publicPort);
    EXPECT_EQ(&context->getMessenger(), local.get());
}

}  // namespace
