#include "tarn/client/impl/util/Messenger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>

#include "UdpPeer.h"
#include "tarn/client/ConnectionException.h"
#include "tarn/client/UninitializedException.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/util/ManualClock.h"

namespace tarn {
namespace client {
namespace impl {
namespace util {
namespace {

using boost::asio::ip::make_address_v4;
using boost::asio::ip::udp;
using generated::Attribute;
using generated::Content;
// Real time, for the tests about what arrives when; the messenger's own waits may run on a ManualClock.
using RealClock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;
using Bytes = std::vector<unsigned char>;
using tarn::test::endpoint;
using tarn::test::UdpPeer;

Content message(Content::Type type, const std::string& gameId = "") {
    Content content;
    content.set_type(type);
    if (!gameId.empty()) {
        generated::addGameId(content, gameId);
    }
    return content;
}

std::unique_ptr<Messenger> openMessenger(const char* address, const std::string& name,
                                         Clock& clock = SteadyClock::instance()) {
    auto messenger = std::make_unique<Messenger>(address, 0, clock);
    messenger->setName(name);
    EXPECT_TRUE(messenger->init()) << name;
    return messenger;
}

long long millisecondsSince(RealClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(RealClock::now() - start).count();
}

// Sends at a fixed point of a test's timeline: the time of arrival is what such a test is about.
class DelayedSend {
public:
    DelayedSend(UdpPeer& sender, std::vector<Bytes> datagrams, udp::endpoint to, RealClock::time_point at)
        : thread([&sender, datagrams, to, at] {
              std::this_thread::sleep_until(at);
              for (const Bytes& bytes : datagrams) {
                  sender.sendBytes(to, bytes);
              }
          }) {}
    ~DelayedSend() { thread.join(); }

private:
    std::thread thread;
};

// Lines written to standard output at TRACE level while call runs.
std::string traceOutput(const std::function<void()>& call) {
    LoggingService& logger = ServiceRegistry::instance().getLoggingService();
    logger.setLevel(0);
    testing::internal::CaptureStdout();
    call();
    const std::string output = testing::internal::GetCapturedStdout();
    logger.setLevel(2);
    return output;
}

std::string uninitializedText(const std::function<void()>& call) {
    try {
        call();
    } catch (const UninitializedException& e) {
        return e.what();
    }
    return "no exception";
}

TEST(Messenger, InitReportsTheBoundEndpoint) {
    Messenger byText("127.0.0.2", 0);
    Messenger byEndpoint(endpoint("127.0.0.1", 0));
    for (Messenger* messenger : {&byText, &byEndpoint}) {
        EXPECT_EQ(messenger->getLocalEndpoint(), endpoint("0.0.0.0", 0));
        ASSERT_TRUE(messenger->init());
        EXPECT_NE(messenger->getLocalEndpoint().port(), 0);
    }
    EXPECT_EQ(byText.getLocalEndpoint().address(), make_address_v4("127.0.0.2"));
    EXPECT_EQ(byEndpoint.getLocalEndpoint().address(), make_address_v4("127.0.0.1"));
    EXPECT_THROW(Messenger("", 0), ConnectionException);
    EXPECT_THROW(Messenger("127.0.0.1", -1), ConnectionException);
}

TEST(Messenger, BindToAddressThatIsNotLocalFailsInit) {
    std::unique_ptr<Messenger> messenger;
    const std::string output = traceOutput([&] {
        // 203.0.113.0/24 is reserved for documentation: never an address of this host.
        messenger = std::make_unique<Messenger>("203.0.113.1", 0);
        messenger->setName("test.foreign");
        EXPECT_FALSE(messenger->init());
    });
    EXPECT_THAT(output, testing::HasSubstr("[ERROR]"));
    EXPECT_THAT(output,
                testing::HasSubstr("[MessengerData:cstr] Messenger unable to bind to 203.0.113.1:0: "));
    EXPECT_THAT(output,
                testing::HasSubstr("[test.foreign:doInit001] Could not initialize test.foreign endpoint: "));
    EXPECT_FALSE(messenger->isInitialized());
    EXPECT_EQ(
        uninitializedText([&] { messenger->send(message(Content::BIND_REQ), endpoint("127.0.0.1", 9)); }),
        "[test.foreign:send] test.foreign has not been initialized!");
}

TEST(Messenger, OperationsOnAnUninitializedMessengerThrow) {
    Messenger neverInitialized("127.0.0.1", 0);
    neverInitialized.setName("test.fresh");
    Messenger shutDown("127.0.0.1", 0);
    shutDown.setName("test.closed");
    ASSERT_TRUE(shutDown.init());
    shutDown.shutdown();

    for (Messenger* messenger : {&neverInitialized, &shutDown}) {
        const std::string name = messenger->getName();
        const std::string send = "[" + name + ":send] " + name + " has not been initialized!";
        const std::string receive = "[" + name + ":receive] " + name + " has not been initialized!";
        ReceivedMessage one;
        std::vector<ReceivedMessage> many;
        EXPECT_EQ(
            uninitializedText([&] { messenger->send(message(Content::BIND_REQ), endpoint("127.0.0.1", 9)); }),
            send);
        EXPECT_EQ(uninitializedText(
                      [&] { messenger->send(message(Content::BIND_REQ), Messenger::EndpointList{}); }),
                  send);
        EXPECT_EQ(uninitializedText([&] { messenger->receive(one, ms(0)); }), receive);
        EXPECT_EQ(uninitializedText([&] { messenger->receiveMany(many, ms(0), 1); }), receive);
    }
}

TEST(Messenger, ShutdownAndDestructionReleaseTheSocket) {
    boost::asio::io_context io;
    auto canBind = [&io](const udp::endpoint& at) {
        udp::socket probe(io, udp::v4());
        boost::system::error_code error;
        probe.bind(at, error);
        return !error;
    };
    udp::endpoint held;
    {
        Messenger messenger("127.0.0.1", 0);
        ASSERT_TRUE(messenger.init());
        held = messenger.getLocalEndpoint();
        EXPECT_FALSE(canBind(held));
        messenger.shutdown();
        EXPECT_TRUE(canBind(held));
        // A closed socket has no endpoint: a second init fails instead of reusing it.
        EXPECT_FALSE(messenger.init());
    }
    {
        Messenger messenger(held);
        ASSERT_TRUE(messenger.init());
        EXPECT_EQ(messenger.getLocalEndpoint(), held);
        EXPECT_FALSE(canBind(held));
    }
    EXPECT_TRUE(canBind(held));
}

TEST(Messenger, SendSkipsPortZeroAndReportsTheFailure) {
    auto sender = openMessenger("127.0.0.2", "test.sender");
    auto first = openMessenger("127.0.0.1", "test.first");
    auto third = openMessenger("127.0.0.2", "test.third");
    const Messenger::EndpointList destinations = {first->getLocalEndpoint(), endpoint("127.0.0.1", 0),
                                                  third->getLocalEndpoint()};
    bool sent = true;
    const std::string output =
        traceOutput([&] { sent = sender->send(message(Content::BIND_REQ), destinations); });
    EXPECT_FALSE(sent);
    std::ostringstream line;
    line << "[test.sender:send001] Sent 2 byte sized BIND_REQ from " << sender->getLocalEndpoint() << " to "
         << Network::endpointsToString(destinations) << "\n";
    EXPECT_THAT(output, testing::HasSubstr(line.str()));

    for (Messenger* receiver : {first.get(), third.get()}) {
        ReceivedMessage received;
        ASSERT_TRUE(receiver->receive(received, ms(2000))) << receiver->getName();
        EXPECT_EQ(received.content.type(), Content::BIND_REQ);
        EXPECT_EQ(received.remoteEndpoint, sender->getLocalEndpoint());
        EXPECT_EQ(received.localEndpoint, receiver->getLocalEndpoint());
    }

    EXPECT_TRUE(sender->send(message(Content::PING_DIRECT, "g"), first->getLocalEndpoint()));
    EXPECT_TRUE(sender->send(message(Content::PING_DIRECT), Messenger::EndpointList{}));
    EXPECT_FALSE(sender->send(message(Content::PING_DIRECT), endpoint("127.0.0.1", 0)));
}

TEST(Messenger, SendRefusesMessagesThatDoNotEncode) {
    auto sender = openMessenger("127.0.0.1", "test.sender");
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    Content untyped;
    Content tooBig = message(Content::PING_DIRECT, std::string(2100, 'x'));
    bool sent = true;
    const std::string output = traceOutput([&] {
        EXPECT_FALSE(sender->send(untyped, receiver->getLocalEndpoint()));
        EXPECT_FALSE(sender->send(tooBig, receiver->getLocalEndpoint()));
        sent = sender->send(message(Content::BIND_RESP), receiver->getLocalEndpoint());
    });
    EXPECT_TRUE(sent);
    EXPECT_THAT(output, testing::HasSubstr("[test.sender:send000] Could not serialize object "
                                           "[type=BIND_REQ, attributes=[]]\n"));
    // Nothing of the refused messages went out: the first datagram is the one sent after them.
    ReceivedMessage received;
    ASSERT_TRUE(receiver->receive(received, ms(2000)));
    EXPECT_EQ(received.content.type(), Content::BIND_RESP);
}

TEST(Messenger, ReceiveReturnsTheFirstDatagramThatDecodesAndLogsIt) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    auto sender = openMessenger("127.0.0.2", "test.sender");
    Content ping = message(Content::PING_RESP, "game-1");
    generated::addAddress(ping, Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint("10.0.0.1", 5000), true);
    ASSERT_TRUE(sender->send(ping, receiver->getLocalEndpoint()));

    ReceivedMessage received;
    bool got = false;
    const std::string output = traceOutput([&] { got = receiver->receive(received, ms(2000)); });
    ASSERT_TRUE(got);
    EXPECT_EQ(received.content.SerializeAsString(), ping.SerializeAsString());
    std::ostringstream line;
    line << "[test.receiver:receive] Received message: [local addr=" << receiver->getLocalEndpoint()
         << ", remote addr=" << sender->getLocalEndpoint()
         << ", message= [type=PING_RESP, attributes=[GAME_ID=game-1, "
            "XOR_P2P_MAPPED_ADDRESS=10.0.0.1:5000]]]\n";
    EXPECT_THAT(output, testing::HasSubstr(line.str()));
}

TEST(Messenger, SilenceEndsTheWaitAtTheTimeoutOnItsClock) {
    ManualClock clock;
    auto receiver = openMessenger("127.0.0.1", "test.receiver", clock);
    // Under 5 ms the fifths of a time-out are shorter than the 1 ms that a step lasts at least.
    const int timeouts[] = {1, 3, 4, 5, 7, 60, 300, 30000};
    for (int timeoutMs : timeouts) {
        SCOPED_TRACE(timeoutMs);
        ReceivedMessage received;
        const auto start = clock.now();
        bool got = true;
        clock.runStepping([&] { got = receiver->receive(received, ms(timeoutMs)); });
        EXPECT_FALSE(got);
        EXPECT_EQ(ms(timeoutMs), clock.now() - start);
    }
}

TEST(Messenger, ZeroTimeoutPollsOnce) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    auto sender = openMessenger("127.0.0.1", "test.sender");
    for (int timeoutMs : {0, -1, -1000}) {
        SCOPED_TRACE(timeoutMs);
        ReceivedMessage received;
        const RealClock::time_point start = RealClock::now();
        EXPECT_FALSE(receiver->receive(received, ms(timeoutMs)));
        EXPECT_LT(millisecondsSince(start), 200);
    }

    // A pending datagram is returned by a zero wait. Delivery on loopback is not synchronous with
    // the send, so poll for it, bounded by a deadline.
    ASSERT_TRUE(sender->send(message(Content::PING_CONFIRM), receiver->getLocalEndpoint()));
    const RealClock::time_point deadline = RealClock::now() + std::chrono::seconds(2);
    ReceivedMessage received;
    bool got = false;
    while (!got && RealClock::now() < deadline) {
        got = receiver->receive(received, ms(0));
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(received.content.type(), Content::PING_CONFIRM);
}

TEST(Messenger, GarbageMidWaitRestartsTheWait) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    UdpPeer sender("127.0.0.2");
    const int timeoutMs = 300;
    const int garbageAtMs = 200;
    const struct {
        const char* what;
        Bytes bytes;
    } garbage[] = {
        {"bytes that are no encoding", {0xFF, 0xFF, 0xFF}},
        {"an empty datagram", {}},
        {"a message without its type", {0x10, 0x64}},
        {"an unknown type", {0x08, 0x63}},
        {"a message cut short", {0x08, 0x0B, 0x22, 0x0D, 0x08, 0x01}},
    };
    for (const auto& g : garbage) {
        SCOPED_TRACE(g.what);
        const RealClock::time_point start = RealClock::now();
        bool got = true;
        {
            DelayedSend later(sender, {g.bytes}, receiver->getLocalEndpoint(),
                              start + std::chrono::milliseconds(garbageAtMs));
            ReceivedMessage received;
            got = receiver->receive(received, ms(timeoutMs));
        }
        const long long elapsed = millisecondsSince(start);
        EXPECT_FALSE(got);
        // Without the restart the wait would end at 300 ms; with it, 300 ms after the garbage.
        EXPECT_GE(elapsed, garbageAtMs + timeoutMs);
        EXPECT_LT(elapsed, garbageAtMs + timeoutMs + 1500);
    }
}

TEST(Messenger, AStreamOfGarbageEndsTheWaitAfterFourTimeouts) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    UdpPeer sender("127.0.0.2");
    const int timeoutMs = 100;
    std::atomic<bool> done{false};
    // Garbage every 10 ms for at most 3 s: far longer than the bound, were there none.
    std::thread stream([&] {
        for (int i = 0; i < 300 && !done; ++i) {
            sender.sendBytes(receiver->getLocalEndpoint(), {0xFF});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const RealClock::time_point start = RealClock::now();
    ReceivedMessage received;
    const bool got = receiver->receive(received, ms(timeoutMs));
    const long long elapsed = millisecondsSince(start);
    done = true;
    stream.join();
    EXPECT_FALSE(got);
    EXPECT_GE(elapsed, 4 * timeoutMs);
    EXPECT_LT(elapsed, 2000);
}

TEST(Messenger, APrimerAloneLeavesWithTheSmallTimeToLive) {
    auto sender = openMessenger("127.0.0.1", "test.sender");
    // A plain socket that reads each datagram's time-to-live from the system.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    const int on = 1;
    ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof(on)), 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    socklen_t length = sizeof(at);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length), 0);
    const udp::endpoint to(make_address_v4("127.0.0.1"), ntohs(at.sin_port));

    EXPECT_TRUE(sender->sendPrimer(message(Content::PING_DIRECT), to, 2));
    EXPECT_TRUE(sender->send(message(Content::PING_DIRECT), to));
    std::vector<int> ttls;
    for (int i = 0; i < 2; ++i) {
        pollfd readable{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&readable, 1, 2000), 1);
        unsigned char bytes[64];
        iovec part{bytes, sizeof(bytes)};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        ASSERT_GT(::recvmsg(fd, &header, 0), 0);
        const cmsghdr* ttl = CMSG_FIRSTHDR(&header);
        ASSERT_NE(ttl, nullptr);
        ASSERT_EQ(ttl->cmsg_type, IP_TTL);
        ttls.push_back(*reinterpret_cast<const int*>(CMSG_DATA(ttl)));
    }
    ::close(fd);
    ASSERT_EQ(ttls.size(), 2u);
    EXPECT_EQ(ttls[0], 2);
    EXPECT_GT(ttls[1], 2) << "the ping after the primer keeps the normal time-to-live";
}

TEST(Messenger, GarbageBeforeAMessageIsSkipped) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    UdpPeer sender("127.0.0.2");
    const Bytes bindResponse = {
        0x08, 0x0B,  // field 1 (type), varint 11 = BIND_RESP
    };
    sender.sendBytes(receiver->getLocalEndpoint(), {0xFF, 0x01});
    sender.sendBytes(receiver->getLocalEndpoint(), {});
    sender.sendBytes(receiver->getLocalEndpoint(), bindResponse);
    ReceivedMessage received;
    ASSERT_TRUE(receiver->receive(received, ms(2000)));
    EXPECT_EQ(received.content.type(), Content::BIND_RESP);
    EXPECT_EQ(received.remoteEndpoint, sender.local());
}

// 2048 bytes of a valid message of the given type: type, then one unknown field filling the rest.
Bytes fullSizeMessage(unsigned char type) {
    Bytes bytes = {
        0x08, type,  // field 1 (type)
        0x7A,        // field 15, length-delimited (unknown to the schema)
        0xFB, 0x0F,  //   varint 2043: 2 + 1 + 2 + 2043 = 2048 bytes in all
    };
    bytes.resize(2048, 0x55);
    return bytes;
}

TEST(Messenger, DatagramsLongerThanTheBufferAreDropped) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    UdpPeer sender("127.0.0.2");

    sender.sendBytes(receiver->getLocalEndpoint(), fullSizeMessage(0x17));  // PING_CONFIRM
    ReceivedMessage received;
    ASSERT_TRUE(receiver->receive(received, ms(2000)));
    EXPECT_EQ(received.content.type(), Content::PING_CONFIRM);

    // Its first 2048 bytes alone are a valid PING_DIRECT: cutting it short would accept it.
    Bytes oversize = fullSizeMessage(0x14);
    oversize.insert(oversize.end(), {0x7A, 0x02, 0x01, 0x02});  // field 15 again, 2 bytes
    sender.sendBytes(receiver->getLocalEndpoint(), oversize);
    // The receive buffer holds little more than the oversize datagram, so the next one follows
    // once the wait has had time to drop it.
    const RealClock::time_point start = RealClock::now();
    DelayedSend later(sender, {{0x08, 0x0B}}, receiver->getLocalEndpoint(),  // BIND_RESP
                      start + std::chrono::milliseconds(200));
    ASSERT_TRUE(receiver->receive(received, ms(2000)));
    EXPECT_EQ(received.content.type(), Content::BIND_RESP);
}

TEST(Messenger, ReceiveManyStopsAtItsCount) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    auto sender = openMessenger("127.0.0.2", "test.sender");
    const int timeoutMs = 3000;

    // Three datagrams and a maximum of three: no fourth wait of 3 s.
    for (const char* id : {"1", "2", "3"}) {
        ASSERT_TRUE(sender->send(message(Content::PING_DIRECT, id), receiver->getLocalEndpoint()));
    }
    std::vector<ReceivedMessage> received(1);
    RealClock::time_point start = RealClock::now();
    ASSERT_TRUE(receiver->receiveMany(received, ms(timeoutMs), 3));
    EXPECT_LT(millisecondsSince(start), timeoutMs / 2);
    ASSERT_EQ(received.size(), 4u);  // appended to what the list held
    std::string gameId;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(generated::getGameId(received[i].content, gameId));
        EXPECT_EQ(gameId, std::to_string(i));
    }

    // A maximum of 0 or less still waits for one and leaves the rest queued.
    for (int maxCount : {0, -5}) {
        SCOPED_TRACE(maxCount);
        ASSERT_TRUE(sender->send(message(Content::PING_RESP, "a"), receiver->getLocalEndpoint()));
        ASSERT_TRUE(sender->send(message(Content::PING_RESP, "b"), receiver->getLocalEndpoint()));
        received.clear();
        ASSERT_TRUE(receiver->receiveMany(received, ms(timeoutMs), maxCount));
        ASSERT_EQ(received.size(), 1u);
        ASSERT_TRUE(generated::getGameId(received[0].content, gameId));
        EXPECT_EQ(gameId, "a");
        ReceivedMessage rest;
        ASSERT_TRUE(receiver->receive(rest, ms(timeoutMs)));
        ASSERT_TRUE(generated::getGameId(rest.content, gameId));
        EXPECT_EQ(gameId, "b");
    }

    // Fewer than the maximum: the wait for the next one times out and what arrived is kept.
    ASSERT_TRUE(sender->send(message(Content::BIND_REQ), receiver->getLocalEndpoint()));
    received.clear();
    start = RealClock::now();
    EXPECT_TRUE(receiver->receiveMany(received, ms(100), 5));
    EXPECT_GE(millisecondsSince(start), 100);
    EXPECT_EQ(received.size(), 1u);

    received.clear();
    EXPECT_FALSE(receiver->receiveMany(received, ms(50), 5));
    EXPECT_TRUE(received.empty());
}

// Four rendezvous servers answer a port measurement at once, and several peers may ping in
// the same instant: a burst that arrives before the first read must be kept whole.
TEST(Messenger, BurstArrivingBeforeTheFirstReadIsKept) {
    auto receiver = openMessenger("127.0.0.1", "test.receiver");
    auto sender = openMessenger("127.0.0.2", "test.sender");
    const int burst = 16;
    for (int i = 0; i < burst; ++i) {
        ASSERT_TRUE(
            sender->send(message(Content::BIND_RESP, std::to_string(i)), receiver->getLocalEndpoint()));
    }
    std::vector<ReceivedMessage> received;
    ASSERT_TRUE(receiver->receiveMany(received, ms(200), burst));
    ASSERT_EQ(received.size(), static_cast<std::size_t>(burst));
    std::string gameId;
    for (int i = 0; i < burst; ++i) {
        ASSERT_TRUE(generated::getGameId(received[i].content, gameId));
        EXPECT_EQ(gameId, std::to_string(i));
    }
}

// Every waiter sees the socket readable, only one finds the datagram: the others must go back to
// waiting and end at their time-out instead of blocking in the read until some later datagram.
TEST(Messenger, ReadThatFindsNothingRestartsTheWaitInsteadOfBlocking) {
    ManualClock clock;
    auto receiver = openMessenger("127.0.0.1", "test.receiver", clock);
    auto sender = openMessenger("127.0.0.2", "test.sender");
    // The race needs two waiters to see the datagram before either reads it: many rounds make it likely.
    const int timeoutMs = 90;
    const int waiters = 8;
    const int rounds = 30;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::future<bool>> waits;
        for (int i = 0; i < waiters; ++i) {
            waits.push_back(std::async(std::launch::async, [&receiver, timeoutMs] {
                ReceivedMessage message;
                return receiver->receive(message, ms(timeoutMs));
            }));
        }
        ASSERT_TRUE(clock.awaitWaits(waiters, std::chrono::seconds(10)));
        ASSERT_TRUE(sender->send(message(Content::PING_DIRECT, "only"), receiver->getLocalEndpoint()));
        // The clock stands still until one waiter has the datagram; then the others' time runs out.
        auto first = waits.end();
        for (int turn = 0; turn < 5000 && first == waits.end(); ++turn) {
            first = std::find_if(waits.begin(), waits.end(),
                                 [](auto& w) { return w.wait_for(ms(1)) == std::future_status::ready; });
        }
        clock.advance(ms(timeoutMs));

        int received = 0;
        for (auto& wait : waits) {
            while (wait.wait_for(std::chrono::milliseconds(20 * timeoutMs)) != std::future_status::ready) {
                // A reader blocked past its time-out: release it so that the test can end, and fail.
                ADD_FAILURE() << "a receive blocked past its time-out";
                sender->send(message(Content::PING_DIRECT, "release"), receiver->getLocalEndpoint());
            }
            received += wait.get() ? 1 : 0;
        }
        EXPECT_GE(received, 1);
    }
}

// The connectivity pass's pattern: a listener thread receives on the messenger while another
// thread sends through it. The echo answers every datagram; the next one leaves once the
// listener has seen the answer, so the small receive buffers never overflow.
TEST(Messenger, OneThreadSendsWhileAnotherReceives) {
    auto shared = openMessenger("127.0.0.1", "test.shared");
    auto echo = openMessenger("127.0.0.2", "test.echo");
    const int count = 200;

    std::atomic<bool> stop{false};
    std::thread echoThread([&] {
        ReceivedMessage request;
        const RealClock::time_point deadline = RealClock::now() + std::chrono::seconds(30);
        for (int echoed = 0; echoed < count && !stop && RealClock::now() < deadline;) {
            if (echo->receive(request, ms(100))) {
                Content reply = request.content;
                reply.set_type(Content::PING_RESP);
                echo->send(reply, request.remoteEndpoint);
                ++echoed;
            }
        }
    });

    std::mutex mutex;
    std::condition_variable answered;
    std::set<std::string> replies;
    std::thread listener([&] {
        ReceivedMessage reply;
        const RealClock::time_point deadline = RealClock::now() + std::chrono::seconds(30);
        while (!stop && RealClock::now() < deadline) {
            if (!shared->receive(reply, ms(100))) {
                continue;
            }
            std::string gameId;
            generated::getGameId(reply.content, gameId);
            std::lock_guard<std::mutex> lock(mutex);
            replies.insert(gameId);
            answered.notify_all();
        }
    });

    int sent = 0;
    for (int i = 0; i < count; ++i) {
        const std::string id = std::to_string(i);
        if (!shared->send(message(Content::PING_DIRECT, id), echo->getLocalEndpoint())) {
            break;
        }
        ++sent;
        std::unique_lock<std::mutex> lock(mutex);
        if (!answered.wait_for(lock, std::chrono::seconds(2), [&] { return replies.count(id) == 1; })) {
            break;
        }
    }
    stop = true;
    listener.join();
    echoThread.join();

    EXPECT_EQ(sent, count);
    EXPECT_EQ(replies.size(), static_cast<std::size_t>(count));
}

}  // namespace
}  // namespace util
}  // namespace impl
}  // namespace client
}  // namespace tarn
