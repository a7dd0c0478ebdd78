// Two servers sharing their allow-list through a redis-server the test starts on a free loopback
// port: a relay through one reaches a player bound only to the other, sent by the server the player
// bound at; an outage of the store costs just those relays, and the servers find the store again
// when it is back. Players live on 127.0.0.9, apart from the servers' addresses. Then attacks on it,
// and a store with sentinels whose master fails twice.
#include "tarn/server/SharedStore.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <hiredis/hiredis.h>

#include "ChildProcess.h"
#include "TempDir.h"
#include "UdpPeer.h"
#include "tarn/generated/MessageHelpers.h"
#include "tarn/server/FleetSeal.h"
#include "tarn/server/Metrics.h"
#include "tarn/server/Server.h"
#include "tarn/server/StoreConnection.h"
#include "tarn/server/Waker.h"

namespace tarn {
namespace server {
namespace {

using generated::Attribute;
using generated::Content;
using test::Endpoint;
using test::Received;
using test::UdpPeer;

bool eventually(const std::function<bool()>& condition,
                std::chrono::seconds bound = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// redis-server on 127.0.0.1:port (0: a free one), without persistence; killed by its pid. With a
// configuration file, redis-sentinel instead.
class Redis {
public:
    explicit Redis(unsigned short port = 0, const std::vector<std::string>& extra = {},
                   const std::string& sentinelConfig = "")
        : port_(port != 0 ? port : freePort()) {
        std::vector<std::string> argv{
            TARN_REDIS_SERVER, "--port", std::to_string(port_), "--bind", "127.0.0.1",
            "--save",          "",       "--appendonly",        "no"};
        if (!sentinelConfig.empty()) {
            argv.front() = TARN_REDIS_SENTINEL;
            argv.insert(argv.begin() + 1, sentinelConfig);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<test::ChildProcess>(argv);
        if (!waitFor(sentinelConfig.empty() ? "Ready to accept connections" : "+monitor master", 1, 5000)) {
            throw std::runtime_error(argv.front() + " did not start on port " + std::to_string(port_));
        }
    }
    // Whether count lines of its log seen so far, or within timeoutMs, hold text.
    bool waitFor(const std::string& text, std::size_t count, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::string line;
        while (std::count_if(seen_.begin(), seen_.end(), [&](const std::string& old) {
                   return old.find(text) != std::string::npos;
               }) < static_cast<std::ptrdiff_t>(count)) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !process_->readLine(line, static_cast<int>(left.count()))) {
                return false;
            }
            seen_.push_back(line);
        }
        return true;
    }
    unsigned short port() const { return port_; }
    void stop() {
        ::kill(process_->processId(), SIGTERM);
        process_->exitCode(5000);
    }
    // SIGSTOP stalls it: connections stay open and nothing is answered; SIGCONT lets it go on.
    void signal(int number) { ::kill(process_->processId(), number); }
    // Writes a record into database 1, the servers', as anyone who reaches the store could; the
    // store's replies ("+OK\r\n" three times when all went well).
    std::string set(const std::string& key, const std::string& value) const {
        boost::asio::io_context context;
        boost::asio::ip::tcp::socket socket(context);
        socket.connect({boost::asio::ip::make_address_v4("127.0.0.1"), port_});
        boost::asio::write(socket,
                           boost::asio::buffer("SELECT 1\r\nSET " + key + " \"" + value + "\"\r\nQUIT\r\n"));
        std::string replies;
        boost::system::error_code end;
        boost::asio::read(socket, boost::asio::dynamic_buffer(replies), end);
        return replies;
    }

private:
    static unsigned short freePort() {
        boost::asio::io_context context;
        boost::asio::ip::tcp::acceptor probe(context, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
        return probe.local_endpoint().port();
    }

    unsigned short port_;
    std::unique_ptr<test::ChildProcess> process_;
    std::vector<std::string> seen_;
};

const char* const kSecret = "the fleet's test secret";

// Every server of a fleet serves the same two ports: the first server's (0: the system picks them).
std::unique_ptr<Server> startServer(const char* addr1, const char* addr2, unsigned short storePort,
                                    const Server* first = nullptr, ServerConfig config = {}) {
    config.addr1 = addr1;
    config.addr2 = addr2;
    config.port1 = first != nullptr ? first->endpoints()[0].port() : 0;
    config.port2 = first != nullptr ? first->endpoints()[1].port() : 0;
    config.fleetSecret = kSecret;
    config.threads = config.threads != 0 ? config.threads : 2;
    // A generous wait, so that a slow (sanitized) run cannot turn an answer into a time-out.
    config.storeWaitMs = 1000;
    if (config.sharedStore.empty()) {
        EXPECT_EQ(config.setSharedStore("redis://localhost:" + std::to_string(storePort) + "/1"), "");
    }
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
    EXPECT_EQ(a->counters()[Counters::STORE_HIT], 1u);
    EXPECT_EQ(a->counters()[Counters::FORWARDED_RELAYS], 1u);
    EXPECT_EQ(b->counters()[Counters::RELAYED_PINGS], 1u);

    // The store goes: binding requests are answered as before, relays to B's players refused.
    redis.stop();
    ASSERT_TRUE(eventually([&] { return storesConnected(*a, *b, false); }));
    UdpPeer newcomer("127.0.0.9");
    bind(newcomer, *b);
    bind(newcomer, *a);
    UdpPeer stranger("127.0.0.9");
    bind(stranger, *b);
    relay(requester, *a, stranger.local());
    ASSERT_TRUE(eventually([&] { return a->counters()[Counters::STORE_UNAVAILABLE] == 1; }));
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
    EXPECT_EQ(a->counters()[Counters::DROP_TARGET_UNKNOWN], 1u);
    EXPECT_FALSE(requester.pending());
}

// A fleet of two servers with one worker each, so that what a worker sent before a later answer
// arrives first; player relays get a burst of 20 that never refills.
class FleetAttack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STRNE(TARN_REDIS_SERVER, "") << "redis-server is missing: scripts/setup.sh installs it";
        redis = std::make_unique<Redis>();
        config.threads = 1;
        config.relayRate = 0.001;
        config.relayBurst = 20;
        a = startServer("127.0.0.1", "127.0.0.2", redis->port(), nullptr, config);
        b = startServer("127.0.0.3", "127.0.0.4", redis->port(), a.get(), config);
        ASSERT_TRUE(eventually([&] {
            return storesConnected(*a, *b, true) &&
                   a->store()->isFleetServer(b->endpoints()[0].address().to_v4()) &&
                   b->store()->isFleetServer(a->endpoints()[0].address().to_v4());
        }));
    }
    // Whether nothing the server sent earlier is on its way to peer: a binding answer comes first.
    static bool nothingArrived(UdpPeer& peer, const Server& server) {
        bind(peer, server);
        return !peer.pending();
    }
    static std::vector<unsigned char> relayBytes(const std::vector<Endpoint>& targets) {
        Content request;
        request.set_type(Content::PING_RELAY);
        generated::addGameId(request, "game-7");
        request.mutable_uuid()->set_uuid_upper(1);
        request.mutable_uuid()->set_uuid_lower(2);
        for (const auto& target : targets) {
            generated::addAddress(request, Attribute::XOR_RESPONSE_TARGET, target, true);
        }
        std::vector<unsigned char> bytes(kMaxDatagram);
        bytes.resize(generated::serializeMessage(request, bytes.data(), bytes.size()));
        return bytes;
    }
    // Sends bytes from a new socket on address to A and waits until A counted counter once more.
    void sendAndCount(const char* from, const std::vector<unsigned char>& bytes, Counters::Id counter) {
        const auto before = a->counters()[counter];
        UdpPeer(from).sendBytes(a->endpoints()[0], bytes);
        ASSERT_TRUE(eventually([&] { return a->counters()[counter] > before; })) << Counters::name(counter);
    }

    ServerConfig config;
    std::unique_ptr<Redis> redis;
    std::unique_ptr<Server> a;
    std::unique_ptr<Server> b;
    const FleetSeal seal{kSecret};
};

TEST_F(FleetAttack, ForgedRecordsSendNothingAndARequestAsksAtMostFourQuestions) {
    const std::string port = ":" + std::to_string(a->endpoints()[0].port());
    const std::int64_t now = FleetSeal::wallClockMs();
    const struct {
        const char* what;
        std::function<std::string(const std::string& key)> value;  // of the victim's key
        Counters::Id counted;
    } rows[] = {
        {"unsealed, naming a host outside the fleet", [&](auto&) { return "127.0.0.77" + port; },
         Counters::STORE_FORGED},
        {"unsealed, naming the server's own endpoint", [&](auto&) { return "127.0.0.1" + port; },
         Counters::STORE_FORGED},
        {"sealed for another key",
         [&](auto&) { return seal.recordValue("tarn:allow:127.0.0.9:1", "127.0.0.3" + port, now + 60000); },
         Counters::STORE_FORGED},
        {"sealed, naming a host outside the fleet",
         [&](auto& key) { return seal.recordValue(key, "127.0.0.77" + port, now + 60000); },
         Counters::DROP_OUTSIDE_FLEET},
        {"sealed, naming another port of a server of the fleet",
         [&](auto& key) { return seal.recordValue(key, "127.0.0.3:1", now + 60000); },
         Counters::DROP_OUTSIDE_FLEET},
        {"sealed and expired", [&](auto& key) { return seal.recordValue(key, "127.0.0.3" + port, now - 1); },
         Counters::STORE_MISS},
    };
    UdpPeer outsider("127.0.0.77", a->endpoints()[0].port());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        UdpPeer victim("127.0.0.9");
        const std::string key = SharedStore::keyText(AllowList::keyOf(victim.local()));
        ASSERT_EQ(redis->set(key, row.value(key)), "+OK\r\n+OK\r\n+OK\r\n");
        sendAndCount("127.0.0.10", relayBytes({victim.local()}), row.counted);
        EXPECT_TRUE(nothingArrived(victim, *a));
        EXPECT_TRUE(nothingArrived(outsider, *a));
    }
    EXPECT_EQ(a->counters()[Counters::FORWARDED_RELAYS] + a->counters()[Counters::RELAYED_PINGS], 0u);

    std::vector<Endpoint> unknown;
    for (unsigned short port = 40000; port < 40032; ++port) {
        unknown.push_back(test::endpoint("127.0.0.9", port));
    }
    const auto asked = a->store()->stats().lookups;
    sendAndCount("127.0.0.10", relayBytes(unknown), Counters::STORE_OVER_BUDGET);
    ASSERT_TRUE(eventually([&] { return a->counters()[Counters::STORE_MISS] == 5; }));
    EXPECT_EQ(a->store()->stats().lookups - asked, 4u);
    EXPECT_EQ(a->counters()[Counters::STORE_OVER_BUDGET], 28u);
}

// The ends a forward names: sender to A's first endpoint, or elsewhere.
FleetSeal::Hop hop(const Endpoint& endpoint) {
    return {endpoint.address().to_v4().to_uint(), endpoint.port()};
}

TEST_F(FleetAttack, OnlyFreshSealedSingleTargetForwardsFromTheFleetPass) {
    UdpPeer player("127.0.0.9");
    bind(player, *a);
    const FleetSeal stranger("a secret of another fleet");
    const Endpoint elsewhere = test::endpoint("127.0.0.3", 1);
    const struct {
        const char* what;
        const char* from;
        const FleetSeal* sealedWith;
        std::int64_t ageMs;
        std::size_t targets;
        bool namesSender, namesReceiver;
        Counters::Id counted;
    } rows[] = {
        {"a fresh seal from a server's address", "127.0.0.3", &seal, 0, 1, true, true,
         Counters::RELAYED_PINGS},
        {"a seal made with another secret", "127.0.0.3", &stranger, 0, 1, true, true,
         Counters::DROP_FORWARD_FORGED},
        {"a seal made 10 s ago", "127.0.0.3", &seal, 10000, 1, true, true, Counters::DROP_FORWARD_STALE},
        {"a seal made 10 s ahead", "127.0.0.3", &seal, -10000, 1, true, true, Counters::DROP_FORWARD_STALE},
        {"a fresh seal over two targets", "127.0.0.3", &seal, 0, 2, true, true,
         Counters::DROP_FORWARD_FORGED},
        {"sealed by another endpoint", "127.0.0.3", &seal, 0, 1, false, true, Counters::DROP_FORWARD_FORGED},
        {"sealed for another server", "127.0.0.3", &seal, 0, 1, true, false, Counters::DROP_FORWARD_FORGED},
        {"a fresh seal from outside the fleet: a player's", "127.0.0.9", &seal, 0, 1, true, true,
         Counters::RELAYED_PINGS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        UdpPeer sender(row.from);
        auto bytes = relayBytes(std::vector<Endpoint>(row.targets, player.local()));
        ASSERT_TRUE(row.sealedWith->sealForward(bytes, hop(row.namesSender ? sender.local() : elsewhere),
                                                hop(row.namesReceiver ? a->endpoints()[0] : elsewhere),
                                                FleetSeal::wallClockMs() - row.ageMs));
        // Sent twice: a forward is taken once, and its copy is counted as played again.
        const bool taken = row.counted == Counters::RELAYED_PINGS;
        for (const Counters::Id counted :
             {row.counted, taken ? Counters::DROP_FORWARD_REPLAYED : row.counted}) {
            const auto before = a->counters()[counted];
            sender.sendBytes(a->endpoints()[0], bytes);
            ASSERT_TRUE(eventually([&] { return a->counters()[counted] > before; }))
                << Counters::name(counted);
            Received ping;
            EXPECT_TRUE(counted != Counters::RELAYED_PINGS || player.receive(ping));
            EXPECT_TRUE(nothingArrived(player, *a));
        }
    }
    EXPECT_EQ(a->counters()[Counters::DROP_FORWARD_REPLAYED], 2u);
    // A stranger on a server's address, unsealed, gets what any other address gets.
    for (const char* from : {"127.0.0.3", "127.0.0.11"}) {
        UdpPeer stranger(from);
        const auto before = a->counters()[Counters::RELAY_REQUESTS];
        for (int sent = 0; sent < 30; ++sent) {
            stranger.sendBytes(a->endpoints()[0], relayBytes({player.local()}));
        }
        ASSERT_TRUE(eventually([&] { return a->counters()[Counters::RELAY_REQUESTS] == before + 30; }));
    }
    EXPECT_EQ(a->counters()[Counters::RELAYED_PINGS], 2u + 2 * 20);
    EXPECT_EQ(a->counters()[Counters::DROP_RELAY_RATE_LIMITED], 2u * 10);
}

TEST_F(FleetAttack, AStalledStoreCostsOnlyRelaysAcrossServersAndStopStillReturns) {
    UdpPeer player("127.0.0.9");
    bind(player, *a);
    redis->signal(SIGSTOP);
    // A question the store will never answer, then relays to a player of the same server.
    sendAndCount("127.0.0.13", relayBytes({test::endpoint("127.0.0.9", 40000)}), Counters::RELAY_REQUESTS);
    Received ping;
    UdpPeer("127.0.0.13").sendBytes(a->endpoints()[0], relayBytes({player.local()}));
    ASSERT_TRUE(player.receive(ping));
    // One deadline for the whole round trip, however the store trickles.
    ASSERT_TRUE(eventually(
        [&] { return a->store()->problem().find("no complete answer within") != std::string::npos; }));
    a.reset();  // while its store thread waits for the stalled store
    b.reset();
    redis->signal(SIGCONT);
}

TEST_F(FleetAttack, AFloodFromOneBlockDoesNotCrowdOutAnotherBlocksRecords) {
    a.reset();
    b.reset();
    config.storeWriteRate = 0.001;
    config.storeWriteBurst = 1;
    SetUp();
    UdpPeer first("127.0.0.9"), crowded("127.0.0.9"), elsewhere("127.0.1.9");
    bind(first, *b);
    bind(crowded, *b);
    bind(elsewhere, *b);
    ASSERT_TRUE(eventually([&] { return b->store()->stats().written == 2; }));
    EXPECT_EQ(b->store()->stats().writesOverBudget, 1u);
    Received ping;
    for (UdpPeer* player : {&first, &elsewhere}) {
        UdpPeer("127.0.0.14").sendBytes(a->endpoints()[0], relayBytes({player->local()}));
        ASSERT_TRUE(player->receive(ping));
    }
    sendAndCount("127.0.0.14", relayBytes({crowded.local()}), Counters::STORE_MISS);
    EXPECT_TRUE(nothingArrived(crowded, *b));
}

TEST(SharedStore, AStoreWithAPasswordTakesOnlyTheRightOne) {
    ASSERT_STRNE(TARN_REDIS_SERVER, "") << "redis-server is missing: scripts/setup.sh installs it";
    Redis redis(0, {"--requirepass", "the right password"});
    for (const auto& [password, problem] : {std::pair<const char*, const char*>{"the right password", ""},
                                            {"a wrong one", "the password was refused (AUTH: "},
                                            {"", "the password was refused (SELECT: NOAUTH"}}) {
        ServerConfig config;
        config.storePassword = password;
        const auto server = startServer("127.0.0.1", "127.0.0.2", redis.port(), nullptr, config);
        EXPECT_TRUE(eventually([&] {
            return server->store()->problem().find(problem) != std::string::npos &&
                   server->store()->connected() == (problem[0] == '\0');
        })) << password
            << ": " << server->store()->problem();
    }
}

// Whether a sentinel on port sees the replica on replicaPort linked to its master, so that it may
// promote it.
bool replicaLinked(unsigned short port, unsigned short replicaPort) {
    const Waker never;
    StoreConnection sentinel({"127.0.0.1", port, 0, "", "sentinel"}, never, StoreConnection::Kind::SENTINEL);
    std::vector<redisReply*> replies;
    if (!sentinel.open().empty() ||
        (sentinel.append("SENTINEL replicas tarn"), !sentinel.exchange(1, replies).empty())) {
        return false;
    }
    const std::unique_ptr<redisReply, decltype(&freeReplyObject)> answer(replies.front(), &freeReplyObject);
    std::string fields;
    for (std::size_t i = 0; i < answer->elements; ++i) {
        for (std::size_t j = 0; j + 1 < answer->element[i]->elements; j += 2) {
            fields += std::string(answer->element[i]->element[j]->str) + "=" +
                      answer->element[i]->element[j + 1]->str + " ";
        }
        fields += ";";
    }
    return std::regex_search(
        fields, std::regex("port=" + std::to_string(replicaPort) + " [^;]*master-link-status=ok"));
}

TEST(SharedStore, ServersFollowTheMasterTheSentinelsNameThroughTwoFailovers) {
    ASSERT_STRNE(TARN_REDIS_SENTINEL, "") << "redis-sentinel is missing: scripts/setup.sh installs it";
    Redis master;
    // A replica writes the master's data to a file while it synchronises: into the folder too.
    const test::TempDir dir("tarn-sentinels");
    const std::vector<std::string> inDir{"--dir", dir.path().string()};
    auto replica = std::make_unique<Redis>(
        0, std::vector<std::string>{"--replicaof", "127.0.0.1", std::to_string(master.port()), "--dir",
                                    inDir[1]});
    std::vector<std::unique_ptr<Redis>> sentinels;
    ServerConfig config;
    std::string url = "redis+sentinel://";
    for (const char* name : {"first.conf", "second.conf", "third.conf"}) {
        dir.writeFile(
            name,
            "sentinel monitor tarn 127.0.0.1 " + std::to_string(master.port()) +
                " 2\nsentinel down-after-milliseconds tarn 1000\nsentinel failover-timeout tarn 5000\n");
        sentinels.push_back(
            std::make_unique<Redis>(0, std::vector<std::string>{}, (dir.path() / name).string()));
        url +=
            (sentinels.size() > 1 ? ",127.0.0.1:" : "127.0.0.1:") + std::to_string(sentinels.back()->port());
    }
    // Each sentinel must know the replica and the two others before it can fail the master over.
    for (auto& sentinel : sentinels) {
        ASSERT_TRUE(sentinel->waitFor("+slave slave", 1, 5000) &&
                    sentinel->waitFor("+sentinel sentinel", 2, 5000));
    }
    ASSERT_EQ(config.setSharedStore(url + "/tarn/1"), "");
    const auto a = startServer("127.0.0.1", "127.0.0.2", 0, nullptr, config);
    const auto b = startServer("127.0.0.3", "127.0.0.4", 0, a.get(), config);
    const auto follow = [&](unsigned short port) {
        return eventually([&] {
            return storesConnected(*a, *b, true) &&
                   a->store()->stats().master == "127.0.0.1:" + std::to_string(port) &&
                   b->store()->stats().master == a->store()->stats().master &&
                   a->store()->isFleetServer(b->endpoints()[0].address().to_v4()) &&
                   b->store()->isFleetServer(a->endpoints()[0].address().to_v4());
        });
    };
    ASSERT_TRUE(follow(master.port()));
    UdpPeer player("127.0.0.9");
    bind(player, *b);
    ASSERT_TRUE(eventually([&] { return b->store()->stats().written >= 1; }));
    // Through A to the player bound at B only, sent by B; checked again after each failover, the
    // player never binding again. One look-up may miss A's short store wait on a loaded machine:
    // the relay is asked again, within eventually's bound.
    UdpPeer requester("127.0.0.9");
    const auto reached = [&] {
        relay(requester, *a, player.local());
        Received ping;
        return player.receive(ping) && ping.from == b->endpoints()[0];
    };
    EXPECT_TRUE(eventually(reached));

    // The master dies: binding requests are answered all along, and once the sentinels promote
    // the replica both servers follow, B writing again what it owns.
    master.signal(SIGKILL);
    UdpPeer newcomer("127.0.0.9");
    bind(newcomer, *a);
    ASSERT_TRUE(sentinels[0]->waitFor("+switch-master", 1, 15000));
    ASSERT_TRUE(follow(replica->port()));
    EXPECT_TRUE(eventually(reached));
    EXPECT_EQ(b->store()->stats().switches, 1u);
    EXPECT_GE(b->store()->stats().rewritten, 1u);

    // The old master comes back, empty, and the sentinels make it a replica; then one sentinel and
    // the new master die, and the two sentinels left promote the old master again.
    Redis back(master.port(), inDir);
    ASSERT_TRUE(back.waitFor("MASTER <-> REPLICA sync: Finished with success", 1, 25000));
    ASSERT_TRUE(eventually([&] { return replicaLinked(sentinels[1]->port(), back.port()); },
                           std::chrono::seconds(20)));
    sentinels[0]->signal(SIGKILL);
    replica->signal(SIGKILL);
    ASSERT_TRUE(sentinels[1]->waitFor("+switch-master", 2, 30000));
    ASSERT_TRUE(follow(back.port()));
    EXPECT_TRUE(eventually(reached));
    EXPECT_EQ(a->store()->stats().switches, 2u);
    EXPECT_NE(Metrics::toPrometheus(Metrics::of(*a))
                  .find("store_master_info{address=\"127.0.0.1:" + std::to_string(back.port()) + "\"} 1"),
              std::string::npos);
}

}  // namespace
}  // namespace server
}  // namespace tarn
