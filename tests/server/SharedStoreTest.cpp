// Two servers sharing their allow-list through a redis-server the test starts on a free loopback
// port: a relay through one reaches a player bound only to the other, sent by the server the player
// bound at; an outage of the store costs just those relays, and the servers find the store again
// when it is back. Players live on 127.0.0.9, apart from the servers' addresses.
#include "tarn/server/SharedStore.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "ChildProcess.h"
#include "UdpPeer.h"
#include "tarn/generated/MessageHelpers.h"
#include "tarn/server/Server.h"

namespace tarn {
namespace server {
namespace {

using generated::Attribute;
using generated::Content;
using test::Endpoint;
using test::Received;
using test::UdpPeer;

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// redis-server on 127.0.0.1:port (0: a free one), without persistence; killed by its pid.
class Redis {
public:
    explicit Redis(unsigned short port = 0) : port_(port != 0 ? port : freePort()) {
        process_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{TARN_REDIS_SERVER, "--port", std::to_string(port_), "--bind",
                                     "127.0.0.1", "--save", "", "--appendonly", "no"});
        std::string line;
        while (line.find("Ready to accept connections") == std::string::npos) {
            if (!process_->readLine(line, 5000)) {
                throw std::runtime_error("redis-server did not start on port " + std::to_string(port_));
            }
        }
    }
    unsigned short port() const { return port_; }
    void stop() {
        ::kill(process_->processId(), SIGTERM);
        process_->exitCode(5000);
    }

private:
    static unsigned short freePort() {
        boost::asio::io_context context;
        boost::asio::ip::tcp::acceptor probe(context, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
        return probe.local_endpoint().port();
    }

    unsigned short port_;
    std::unique_ptr<test::ChildProcess> process_;
};

// Every server of a fleet serves the same two ports: the first server's (0: the system picks them).
std::unique_ptr<Server> startServer(const char* addr1, const char* addr2, unsigned short storePort,
                                    const Server* first = nullptr) {
    ServerConfig config;
    config.addr1 = addr1;
    config.addr2 = addr2;
    config.port1 = first != nullptr ? first->endpoints()[0].port() : 0;
    config.port2 = first != nullptr ? first->endpoints()[1].port() : 0;
    config.fleetSecret = "the fleet's test secret";
    config.threads = 2;
    // A generous wait, so that a slow (sanitized) run cannot turn an answer into a time-out.
    config.storeWaitMs = 1000;
    EXPECT_EQ(config.setSharedStore("redis://127.0.0.1:" + std::to_string(storePort) + "/1"), "");
    auto server = std::make_unique<Server>(config);
    server->start();
    return server;
}

// A binding request to the server's first endpoint and its answer.
void bind(UdpPeer& player, const Server& server) {
    Content request;
    request.set_type(Content::BIND_REQ);
    player.send(server.endpoints()[0], request);
    Received answer;
    ASSERT_TRUE(player.receive(answer));
    EXPECT_EQ(answer.message.type(), Content::BIND_RESP);
}

void relay(UdpPeer& requester, const Server& via, const Endpoint& target) {
    Content request;
    request.set_type(Content::PING_RELAY);
    generated::addGameId(request, "game-7");
    request.mutable_uuid()->set_uuid_upper(1);
    request.mutable_uuid()->set_uuid_lower(2);
    generated::addAddress(request, Attribute::XOR_RESPONSE_TARGET, target, true);
    requester.send(via.endpoints()[0], request);
}

bool storesConnected(const Server& a, const Server& b, bool connected) {
    return a.store()->connected() == connected && b.store()->connected() == connected;
}

const auto kPlayers = boost::asio::ip::make_address_v4("127.0.0.9");

TEST(SharedStore, RelaysReachPlayersOfAnotherServerAndAnOutageCostsOnlyThose) {
    ASSERT_STRNE(TARN_REDIS_SERVER, "") << "redis-server is missing: scripts/setup.sh installs it";
    Redis redis;
    const auto a = startServer("127.0.0.1", "127.0.0.2", redis.port());
    const auto b = startServer("127.0.0.3", "127.0.0.4", redis.port(), a.get());
    ASSERT_TRUE(eventually([&] { return storesConnected(*a, *b, true); }));
    // Each knows the other as a server of the fleet, and no player as one.
    ASSERT_TRUE(eventually([&] { return b->store()->isFleetServer(a->endpoints()[0].address().to_v4()); }));
    ASSERT_TRUE(eventually([&] { return a->store()->isFleetServer(b->endpoints()[3].address().to_v4()); }));
    EXPECT_FALSE(a->store()->isFleetServer(kPlayers));
    UdpPeer requester("127.0.0.9");
    Received ping;

    // Bound to B only; once B's record is written, A asks B, and B sends the ping from the endpoint
    // the player bound at, the only one its NAT would let in.
    UdpPeer player("127.0.0.9");
    bind(player, *b);
    ASSERT_TRUE(eventually([&] { return b->store()->stats().written >= 1; }));
    relay(requester, *a, player.local());
    ASSERT_TRUE(player.receive(ping));
    EXPECT_EQ(ping.message.type(), Content::PING_DIRECT);
    EXPECT_EQ(ping.from, b->endpoints()[0]);
    EXPECT_EQ(a->counters()[Counters::kStoreHit], 1u);
    EXPECT_EQ(a->counters()[Counters::kForwardedRelays], 1u);
    EXPECT_EQ(b->counters()[Counters::kRelayedPings], 1u);

    // The store goes: binding requests are answered as before, relays to B's players refused.
    redis.stop();
    ASSERT_TRUE(eventually([&] { return storesConnected(*a, *b, false); }));
    UdpPeer newcomer("127.0.0.9");
    bind(newcomer, *b);
    bind(newcomer, *a);
    UdpPeer stranger("127.0.0.9");
    bind(stranger, *b);
    relay(requester, *a, stranger.local());
    ASSERT_TRUE(eventually([&] { return a->counters()[Counters::kStoreUnavailable] == 1; }));
    EXPECT_FALSE(stranger.pending());

    // It comes back, empty: the servers reconnect by themselves and write again what binds anew.
    Redis again(redis.port());
    ASSERT_TRUE(eventually([&] { return storesConnected(*a, *b, true); }));
    const auto written = b->store()->stats().written;
    bind(stranger, *b);
    ASSERT_TRUE(eventually([&] { return b->store()->stats().written > written; }));
    // A forwards only to servers it knows from the store again, which B renews within a check.
    ASSERT_TRUE(eventually([&] { return a->store()->isFleetServer(b->endpoints()[0].address().to_v4()); }));
    relay(requester, *a, stranger.local());
    ASSERT_TRUE(stranger.receive(ping));
    EXPECT_EQ(ping.from, b->endpoints()[0]);
    EXPECT_EQ(a->counters()[Counters::kDropTargetUnknown], 1u);
    EXPECT_FALSE(requester.pending());
}

}  // namespace
}  // namespace server
}  // namespace tarn
