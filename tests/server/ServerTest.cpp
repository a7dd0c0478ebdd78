#include "tarn/server/Server.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "UdpPeer.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn {
namespace server {
namespace {

using boost::asio::ip::make_address_v4;
using generated::Attribute;
using generated::Content;
using test::Bytes;
using test::Endpoint;
using test::Received;
using test::UdpPeer;

constexpr auto kWaitLimit = std::chrono::seconds(5);

Endpoint endpoint(const char* address, unsigned short port) {
    return Endpoint(make_address_v4(address), port);
}

ServerConfig loopbackConfig(unsigned threads) {
    ServerConfig config;
    config.addr1 = "127.0.0.1";
    config.addr2 = "127.0.0.2";
    config.port1 = 0;
    config.port2 = 0;
    config.threads = threads;
    config.statsIntervalSeconds = 0;
    return config;
}

Content bindRequest(std::optional<Attribute::Change> change = std::nullopt) {
    Content message;
    message.set_type(Content::BIND_REQ);
    if (change) {
        generated::addChangeRequest(message, *change);
    }
    return message;
}

struct Relay {
    std::string gameId = "game-7";
    bool withUuid = true;
    std::vector<Endpoint> targets;
    std::vector<Endpoint> reflected;
};

constexpr std::uint64_t kUuidUpper = static_cast<std::uint64_t>(std::int64_t{-5});
constexpr std::uint64_t kUuidLower = 0x7F000001;

Content relayRequest(const Relay& relay) {
    Content message;
    message.set_type(Content::PING_RELAY);
    if (!relay.gameId.empty()) {
        generated::addGameId(message, relay.gameId);
    }
    if (relay.withUuid) {
        message.mutable_uuid()->set_uuid_upper(kUuidUpper);
        message.mutable_uuid()->set_uuid_lower(kUuidLower);
    }
    // Reflected addresses first and targets after them: the order of kinds must not matter.
    for (const auto& reflected : relay.reflected) {
        generated::addAddress(message, Attribute::XOR_REFLECTED_FROM, reflected, true);
    }
    for (const auto& target : relay.targets) {
        generated::addAddress(message, Attribute::XOR_RESPONSE_TARGET, target, true);
    }
    return message;
}

std::vector<Endpoint> reflectedEndpoints(int count) {
    std::vector<Endpoint> reflected;
    for (int i = 0; i < count; ++i) {
        reflected.push_back(endpoint("198.51.100.7", static_cast<unsigned short>(40001 + i)));
    }
    return reflected;
}

// Polls until the condition holds or the limit has passed; true when it held.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ServerTest : public ::testing::TestWithParam<unsigned> {
protected:
    void start(ServerConfig config) {
        server_ = std::make_unique<Server>(config);
        server_->start();
    }
    void start() { start(loopbackConfig(GetParam())); }

    const Endpoint& at(std::size_t index) const { return server_->endpoints()[index]; }
    std::uint64_t count(Counters::Id id) const { return server_->counters()[id]; }

    // Receives the next datagram, which must be a binding answer from `from` that maps the client.
    void expectBindAnswer(UdpPeer& client, const Endpoint& from) {
        Received answer;
        ASSERT_TRUE(client.receive(answer)) << "no answer from " << from;
        ASSERT_TRUE(answer.decoded);
        EXPECT_EQ(answer.from, from);
        EXPECT_EQ(answer.message.type(), Content::BIND_RESP);
        ASSERT_EQ(answer.message.attributes_size(), 1);
        Endpoint mapped;
        ASSERT_TRUE(generated::getMappedAddress(answer.message, mapped, true));
        EXPECT_EQ(mapped, client.local());
    }

    // A binding request to `via` and its answer: everything the server sent this client before
    // it (on any socket of the same worker) is queued ahead of it, so afterwards the client's
    // queue must be empty unless something unexpected was sent.
    void expectNothingElse(UdpPeer& client, std::size_t via = 0) {
        client.send(at(via), bindRequest());
        expectBindAnswer(client, at(via));
        EXPECT_FALSE(client.pending()) << "unexpected datagram for " << client.local();
    }

    // Makes the client a permitted relay target.
    void bind(UdpPeer& client) {
        client.send(at(0), bindRequest());
        expectBindAnswer(client, at(0));
    }

    // The next datagram must be the relayed ping: from `from`, carrying the relay's game id and
    // UUID and the reflected endpoints as response targets, in order.
    void expectPing(UdpPeer& peer, const Endpoint& from, const std::vector<Endpoint>& reflected) {
        Received ping;
        ASSERT_TRUE(peer.receive(ping)) << "no ping at " << peer.local();
        ASSERT_TRUE(ping.decoded);
        EXPECT_EQ(ping.from, from);
        EXPECT_EQ(ping.message.type(), Content::PING_DIRECT);
        std::string gameId;
        EXPECT_TRUE(generated::getGameId(ping.message, gameId));
        EXPECT_EQ(gameId, "game-7");
        ASSERT_TRUE(ping.message.has_uuid());
        EXPECT_EQ(ping.message.uuid().uuid_upper(), kUuidUpper);
        EXPECT_EQ(ping.message.uuid().uuid_lower(), kUuidLower);
        generated::EndpointList targets;
        generated::getResponseTargets(ping.message, targets, true);
        EXPECT_EQ(targets, reflected);
        EXPECT_EQ(ping.message.attributes_size(), static_cast<int>(reflected.size()) + 1);
        EXPECT_FALSE(ping.message.has_error());
    }

    std::unique_ptr<Server> server_;
};

TEST_P(ServerTest, PortZeroPicksOnePortOnBothAddresses) {
    start();
    EXPECT_EQ(at(0).address(), make_address_v4("127.0.0.1"));
    EXPECT_EQ(at(1).address(), make_address_v4("127.0.0.1"));
    EXPECT_EQ(at(2).address(), make_address_v4("127.0.0.2"));
    EXPECT_EQ(at(3).address(), make_address_v4("127.0.0.2"));
    EXPECT_NE(at(0).port(), 0);
    EXPECT_NE(at(0).port(), at(1).port());
    EXPECT_EQ(at(0).port(), at(2).port());
    EXPECT_EQ(at(1).port(), at(3).port());
    EXPECT_EQ(server_->workerCount(), GetParam());
}

TEST_P(ServerTest, BindAnswersLeaveFromTheRequestedEndpoint) {
    start();
    const struct {
        std::optional<Attribute::Change> change;
        std::size_t flip;  // bit 0 changes the port, bit 1 the address
    } rows[] = {
        {std::nullopt, 0},
        {Attribute::CHANGE_PORT, 1},
        {Attribute::CHANGE_ADDR, 2},
        {Attribute::CHANGE_BOTH, 3},
    };
    std::uint64_t plain = 0;
    std::uint64_t changed = 0;
    for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
        UdpPeer client(address);
        for (std::size_t via = 0; via < 4; ++via) {
            for (const auto& row : rows) {
                SCOPED_TRACE(std::string(address) + " to S" + std::to_string(via + 1) + " flip " +
                             std::to_string(row.flip));
                client.send(at(via), bindRequest(row.change));
                expectBindAnswer(client, at(via ^ row.flip));
                expectNothingElse(client, via);
                (row.change ? changed : plain) += 1;
                plain += 1;  // the check's own request
            }
        }
    }
    EXPECT_EQ(count(Counters::BIND_REQUESTS), plain);
    EXPECT_EQ(count(Counters::BIND_CHANGE_REQUESTS), changed);
    EXPECT_EQ(count(Counters::BIND_RESPONSES), plain + changed);
}

TEST_P(ServerTest, ChangeRequestWithoutValueMeansBothAndTheLastOneCounts) {
    start();
    UdpPeer client;

    Content noValue = bindRequest();
    noValue.add_attributes()->set_type(Attribute::CHANGE_REQUEST);
    ASSERT_FALSE(noValue.attributes(0).has_change());
    client.send(at(0), noValue);
    expectBindAnswer(client, at(3));
    expectNothingElse(client);

    Content twoChanges = bindRequest(Attribute::CHANGE_PORT);
    generated::addGameId(twoChanges, "ignored");
    generated::addChangeRequest(twoChanges, Attribute::CHANGE_ADDR);
    client.send(at(1), twoChanges);
    expectBindAnswer(client, at(3));
    expectNothingElse(client, 1);
}

TEST_P(ServerTest, RelayPingsKnownTargetsOnlyFromTheReceivingEndpoint) {
    start();
    UdpPeer peerA("127.0.0.1");
    UdpPeer peerB("127.0.0.2");
    UdpPeer stranger("127.0.0.2");
    UdpPeer requester("127.0.0.1");
    bind(peerA);
    bind(peerB);

    for (std::size_t via : {0u, 3u}) {
        SCOPED_TRACE("relay through S" + std::to_string(via + 1));
        Relay relay;
        relay.targets = {peerA.local(), stranger.local(), peerB.local()};
        relay.reflected = reflectedEndpoints(3);
        requester.send(at(via), relayRequest(relay));
        expectPing(peerA, at(via), relay.reflected);
        expectPing(peerB, at(via), relay.reflected);
        // The requester hears nothing back, and the stranger never gets a ping.
        expectNothingElse(requester, via);
        EXPECT_FALSE(stranger.pending());
        EXPECT_FALSE(peerA.pending());
        EXPECT_FALSE(peerB.pending());
    }
    EXPECT_EQ(count(Counters::RELAY_REQUESTS), 2u);
    EXPECT_EQ(count(Counters::RELAYED_PINGS), 4u);
    EXPECT_EQ(count(Counters::DROP_TARGET_UNKNOWN), 2u);
}

TEST_P(ServerTest, RelayOverACapIsRefusedWhole) {
    ServerConfig config = loopbackConfig(GetParam());
    config.maxTargets = 3;
    config.maxReflected = 4;
    start(config);
    std::vector<std::unique_ptr<UdpPeer>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(std::make_unique<UdpPeer>(i % 2 ? "127.0.0.2" : "127.0.0.1"));
        bind(*peers.back());
    }
    UdpPeer requester;
    const struct {
        int targets;
        int reflected;
        bool relayed;
        Counters::Id refusal;
    } rows[] = {
        {3, 4, true, Counters::COUNT},
        {1, 0, true, Counters::COUNT},
        {4, 4, false, Counters::DROP_RELAY_OVER_CAP},
        {3, 5, false, Counters::DROP_RELAY_OVER_CAP},
        {4, 5, false, Counters::DROP_RELAY_OVER_CAP},
        {0, 2, false, Counters::DROP_RELAY_INCOMPLETE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.targets) + " targets, " + std::to_string(row.reflected) +
                     " reflected");
        const auto before = server_->counters();
        Relay relay;
        for (int i = 0; i < row.targets; ++i) {
            relay.targets.push_back(peers[i]->local());
        }
        relay.reflected = reflectedEndpoints(row.reflected);
        requester.send(at(0), relayRequest(relay));
        expectNothingElse(requester);
        for (int i = 0; i < row.targets && row.relayed; ++i) {
            expectPing(*peers[i], at(0), relay.reflected);
        }
        for (const auto& peer : peers) {
            EXPECT_FALSE(peer->pending());
        }
        const auto after = server_->counters();
        EXPECT_EQ(after[Counters::RELAYED_PINGS] - before[Counters::RELAYED_PINGS],
                  row.relayed ? static_cast<std::uint64_t>(row.targets) : 0u);
        if (!row.relayed) {
            EXPECT_EQ(after[row.refusal] - before[row.refusal], 1u);
        }
    }
}

TEST_P(ServerTest, RelayNeverTargetsForbiddenEndpoints) {
    start();
    UdpPeer peer;
    UdpPeer requester;
    bind(peer);
    Relay relay;
    relay.targets = {endpoint("127.0.0.1", 0),
                     endpoint("0.0.0.0", 5000),
                     endpoint("0.1.2.3", 5000),
                     endpoint("255.255.255.255", 5000),
                     endpoint("224.0.0.1", 5000),
                     at(1),
                     at(2),
                     peer.local()};
    relay.reflected = reflectedEndpoints(1);
    requester.send(at(0), relayRequest(relay));
    expectPing(peer, at(0), relay.reflected);
    expectNothingElse(requester);
    EXPECT_FALSE(peer.pending());
    EXPECT_EQ(count(Counters::DROP_TARGET_FORBIDDEN), 7u);
    EXPECT_EQ(count(Counters::RELAYED_PINGS), 1u);
}

TEST_P(ServerTest, RelayWithoutGameIdOrUuidIsRefused) {
    start();
    UdpPeer peer;
    UdpPeer requester;
    bind(peer);
    const struct {
        const char* what;
        std::string gameId;
        bool withUuid;
    } rows[] = {{"no game id", "", true}, {"no UUID", "game-7", false}, {"neither", "", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Relay relay;
        relay.gameId = row.gameId;
        relay.withUuid = row.withUuid;
        relay.targets = {peer.local()};
        requester.send(at(0), relayRequest(relay));
        expectNothingElse(requester);
        EXPECT_FALSE(peer.pending());
    }
    EXPECT_EQ(count(Counters::DROP_RELAY_INCOMPLETE), 3u);
    EXPECT_EQ(count(Counters::RELAYED_PINGS), 0u);
}

TEST_P(ServerTest, BadDatagramsAreCountedNeverAnsweredAndServiceGoesOn) {
    start();
    UdpPeer client;
    Content padded = bindRequest();
    generated::addGameId(padded, "");
    Bytes exact = UdpPeer::encode(padded);
    // Pad the game id so that the whole request is exactly the largest datagram.
    padded.mutable_attributes(0)->set_gameid(std::string(2048 - exact.size() - 2, 'x'));
    exact = UdpPeer::encode(padded);
    ASSERT_EQ(exact.size(), 2048u);
    Bytes tooLong = exact;
    tooLong.push_back(0);
    Bytes relay = UdpPeer::encode(relayRequest({"game-7", true, {client.local()}, reflectedEndpoints(2)}));
    const Bytes truncated(relay.begin(), relay.begin() + static_cast<long>(relay.size() / 2));

    const struct {
        const char* what;
        Bytes bytes;
        Counters::Id counter;
    } rows[] = {
        {"empty", {}, Counters::DROP_UNDECODABLE},
        {"garbage", {0xFF, 0xFF, 0xFF, 0xFF}, Counters::DROP_UNDECODABLE},
        {"truncated relay", truncated, Counters::DROP_UNDECODABLE},
        {"unknown type 99", {0x08, 0x63}, Counters::DROP_UNDECODABLE},
        {"attribute without type", {0x08, 0x0A, 0x22, 0x02, 0x18, 0x01}, Counters::DROP_UNDECODABLE},
        {"ERROR", {0x08, 0x00}, Counters::DROP_OTHER_TYPE},
        {"BIND_RESP", {0x08, 0x0B}, Counters::DROP_OTHER_TYPE},
        {"PING_DIRECT", {0x08, 0x14}, Counters::DROP_OTHER_TYPE},
        {"PING_RESP", {0x08, 0x16}, Counters::DROP_OTHER_TYPE},
        {"PING_CONFIRM", {0x08, 0x17}, Counters::DROP_OTHER_TYPE},
        {"2049 bytes", tooLong, Counters::DROP_OVERSIZED},
        {"60000 bytes", Bytes(60000, 0x08), Counters::DROP_OVERSIZED},
        {"2048-byte BIND_REQ", exact, Counters::BIND_RESPONSES},
        {"BIND_REQ with an unknown field", {0x08, 0x0A, 0x78, 0x2A}, Counters::BIND_RESPONSES},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto before = server_->counters();
        client.sendBytes(at(0), row.bytes);
        if (row.counter == Counters::BIND_RESPONSES) {
            expectBindAnswer(client, at(0));
        }
        expectNothingElse(client);
        const auto after = server_->counters();
        EXPECT_EQ(after[row.counter] - before[row.counter],
                  row.counter == Counters::BIND_RESPONSES ? 2u : 1u);
        EXPECT_EQ(after[Counters::RECEIVED] - before[Counters::RECEIVED], 2u);
    }
}

TEST_P(ServerTest, FloodFromOneAddressIsLimitedWhileOthersAreAnswered) {
    ServerConfig config = loopbackConfig(GetParam());
    // A refill far slower than any run of the test (one token in 1000 s): the burst alone is let
    // through, however long a loaded machine takes.
    config.bindRate = 0.001;
    config.bindBurst = 50;
    start(config);
    UdpPeer flooder("127.0.0.2");
    UdpPeer other("127.0.0.1");
    constexpr int kRounds = 20;
    constexpr int kPerRound = 100;

    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i) {
            flooder.send(at(i % 4), bindRequest());
        }
        // Paced by what the server has read, so no socket buffer overflows whatever its size.
        const std::uint64_t sent = static_cast<std::uint64_t>((round + 1) * kPerRound + round);
        ASSERT_TRUE(eventually([&] { return count(Counters::RECEIVED) >= sent; }));
        other.send(at(round % 4), bindRequest());
        expectBindAnswer(other, at(round % 4));
    }

    Received answer;
    for (int answered = 0; answered < 50; ++answered) {
        ASSERT_TRUE(flooder.receive(answer)) << answered;
        EXPECT_EQ(answer.message.type(), Content::BIND_RESP);
    }
    // Every answer the server sent is counted: exactly the burst went to the flooder.
    EXPECT_FALSE(flooder.pending());
    EXPECT_EQ(count(Counters::DROP_BIND_RATE_LIMITED), static_cast<std::uint64_t>(kRounds * kPerRound - 50));
    EXPECT_EQ(count(Counters::BIND_RESPONSES), static_cast<std::uint64_t>(50 + kRounds));
}

TEST_P(ServerTest, RelayFloodIsLimitedPerAddress) {
    ServerConfig config = loopbackConfig(GetParam());
    config.relayRate = 1;
    config.relayBurst = 5;
    start(config);
    UdpPeer peer;
    UdpPeer requester;
    bind(peer);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        requester.send(at(0), relayRequest({"game-7", true, {peer.local()}, reflectedEndpoints(1)}));
    }
    expectNothingElse(requester);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto relayed = count(Counters::RELAYED_PINGS);
    EXPECT_GE(relayed, 5u);
    EXPECT_LE(relayed, 5u + static_cast<std::uint64_t>(elapsed) + 1);
    EXPECT_EQ(count(Counters::DROP_RELAY_RATE_LIMITED), 30u - relayed);
}

TEST_P(ServerTest, ManyClientsAtOnceAllGetTheirOwnAnswers) {
    start();
    constexpr int kThreads = 4;
    constexpr int kSocketsPerThread = 8;
    constexpr int kRequests = 25;
    std::vector<std::thread> threads;
    std::vector<int> good(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::unique_ptr<UdpPeer>> clients;
            for (int s = 0; s < kSocketsPerThread; ++s) {
                clients.push_back(std::make_unique<UdpPeer>(s % 2 ? "127.0.0.2" : "127.0.0.1"));
            }
            for (int r = 0; r < kRequests; ++r) {
                for (auto& client : clients) {
                    client->send(at(static_cast<std::size_t>(r) % 4), bindRequest());
                }
                for (auto& client : clients) {
                    Received answer;
                    Endpoint mapped;
                    if (client->receive(answer) && answer.decoded &&
                        answer.from == at(static_cast<std::size_t>(r) % 4) &&
                        generated::getMappedAddress(answer.message, mapped, true) &&
                        mapped == client->local()) {
                        ++good[t];
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(good[t], kSocketsPerThread * kRequests) << "thread " << t;
    }
    EXPECT_EQ(count(Counters::BIND_RESPONSES),
              static_cast<std::uint64_t>(kThreads * kSocketsPerThread * kRequests));
}

TEST_P(ServerTest, StoppedServerIsSilentAndKeepsItsCounters) {
    start();
    UdpPeer client;
    bind(client);
    server_->stop();
    client.send(at(0), bindRequest());
    Received answer;
    EXPECT_FALSE(client.receive(answer, 300));
    EXPECT_EQ(count(Counters::BIND_RESPONSES), 1u);
    server_->stop();
}

INSTANTIATE_TEST_SUITE_P(Workers, ServerTest, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                             return std::to_string(info.param) + "Workers";
                         });

TEST(ServerSetup, AnEndpointInUseIsNamedInTheError) {
    UdpPeer occupant("127.0.0.2");
    ServerConfig config = loopbackConfig(1);
    config.port1 = occupant.local().port();
    config.port2 = 0;
    try {
        Server server(config);
        FAIL() << "bound an endpoint that is in use";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(),
                    ::testing::HasSubstr("127.0.0.2:" + std::to_string(occupant.local().port())));
        EXPECT_THAT(error.what(), ::testing::HasSubstr("in use"));
    }
}

TEST(ServerSetup, ASecondServerOnTheSameEndpointsIsRefused) {
    ServerConfig config = loopbackConfig(2);
    Server first(config);
    config.port1 = first.endpoints()[0].port();
    config.port2 = first.endpoints()[1].port();
    EXPECT_THROW(Server second(config), std::runtime_error);
}

TEST(ServerSetup, InvalidConfigurationIsRefusedBeforeBinding) {
    ServerConfig config = loopbackConfig(1);
    config.addr2 = config.addr1;
    EXPECT_THROW(Server server(config), std::invalid_argument);
}

TEST(ServerSetup, AnAddressOfAnotherHostCannotBeBound) {
    ServerConfig config = loopbackConfig(1);
    config.addr2 = "192.0.2.1";
    try {
        Server server(config);
        FAIL() << "bound an address of another host";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr("192.0.2.1"));
    }
}

}  // namespace
}  // namespace server
}  // namespace tarn
