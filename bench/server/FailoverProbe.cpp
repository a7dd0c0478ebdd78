// tarn-failover-probe: what players see of a fleet while its store fails over. COUNT targets bind
// at --bind-to (server B) once, at the start; then, at each command read from standard input:
//   tick SECONDS   every kTick, one relay through --via (server A) to the next target, which never
//                  binds again, and one binding request to --via; prints one JSON line with, per
//                  tick, the monotonic time it was sent at and whether (and how fast) each answer came
//   burst N        N relays one after another to targets bound before, each waiting kAnswerWaitMs;
//                  prints how many reached their target
// Bounded: each answer is waited for kAnswerWaitMs at most, and a tick's answers until the end of
// the command plus that. All sockets on SOURCE_ADDR.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/MessageHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;
using Endpoint = boost::asio::ip::udp::endpoint;
using Socket = boost::asio::ip::udp::socket;
using tarn::generated::Attribute;
using tarn::generated::Content;

constexpr auto kTick = std::chrono::milliseconds(20);
// Far above an answer on loopback (well under 1 ms), and above the servers' store wait.
constexpr int kAnswerWaitMs = 1000;

Endpoint parseEndpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    return Endpoint(boost::asio::ip::make_address_v4(text.substr(0, colon)),
                    static_cast<unsigned short>(std::stoi(text.substr(colon + 1))));
}

void send(Socket& socket, const Content& message, const Endpoint& to) {
    unsigned char bytes[2048];
    const std::size_t length = tarn::generated::serializeMessage(message, bytes, sizeof bytes);
    socket.send_to(boost::asio::buffer(bytes, length), to);
}

// The type of the datagram waiting on socket, or -1 for one that does not decode.
int take(Socket& socket) {
    unsigned char bytes[2048];
    Endpoint from;
    const std::size_t length = socket.receive_from(boost::asio::buffer(bytes), from);
    Content message;
    return tarn::generated::parseMessage(message, bytes, length) ? message.type() : -1;
}

// Seconds on the monotonic clock, the one the driving script reads too.
double monotonic(Clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

Content relayTo(const Endpoint& target) {
    Content relay;
    relay.set_type(Content::PING_RELAY);
    tarn::generated::addGameId(relay, "bench");
    relay.mutable_uuid()->set_uuid_upper(1);
    relay.mutable_uuid()->set_uuid_lower(2);
    tarn::generated::addAddress(relay, Attribute::XOR_RESPONSE_TARGET, target, true);
    return relay;
}

// One tick's two requests: when each was sent, and when its answer came (empty: none yet).
struct Tick {
    Clock::time_point sent;
    std::size_t target;
    Clock::time_point relayed{};
    Clock::time_point bound{};
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: tarn-failover-probe VIA_ADDR:PORT BIND_TO_ADDR:PORT COUNT SOURCE_ADDR\n");
        return 2;
    }
    const Endpoint via = parseEndpoint(argv[1]);
    const Endpoint bindTo = parseEndpoint(argv[2]);
    const std::size_t count = static_cast<std::size_t>(std::max(1, std::stoi(argv[3])));
    boost::asio::io_context context;
    const Endpoint source(boost::asio::ip::make_address_v4(argv[4]), 0);
    Socket requester(context, source);
    Content bind;
    bind.set_type(Content::BIND_REQ);
    std::vector<std::unique_ptr<Socket>> targets;
    for (std::size_t i = 0; i < count; ++i) {
        targets.push_back(std::make_unique<Socket>(context, source));
        send(*targets.back(), bind, bindTo);
        pollfd polled{targets.back()->native_handle(), POLLIN, 0};
        if (::poll(&polled, 1, kAnswerWaitMs) <= 0 || take(*targets.back()) != Content::BIND_RESP) {
            std::fprintf(stderr, "tarn-failover-probe: no binding answer from %s\n", argv[2]);
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::size_t next = 0;
    std::string command;
    double amount = 0;
    while (std::cin >> command >> amount) {
        if (command == "burst") {
            int reached = 0;
            for (int i = 0; i < static_cast<int>(amount); ++i) {
                Socket& target = *targets[next++ % count];
                send(requester, relayTo(target.local_endpoint()), via);
                pollfd polled{target.native_handle(), POLLIN, 0};
                reached +=
                    ::poll(&polled, 1, kAnswerWaitMs) > 0 && take(target) == Content::PING_DIRECT ? 1 : 0;
            }
            std::printf("{\"relays\":%d,\"reached\":%d}\n", static_cast<int>(amount), reached);
            std::fflush(stdout);
            continue;
        }
        std::vector<Tick> ticks;
        const auto end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(amount));
        const auto drained = end + std::chrono::milliseconds(kAnswerWaitMs);
        auto due = Clock::now();
        for (auto now = Clock::now(); now < drained; now = Clock::now()) {
            if (now >= due && now < end) {
                ticks.push_back({now, next++ % count});
                send(requester, relayTo(targets[ticks.back().target]->local_endpoint()), via);
                send(requester, bind, via);
                due += kTick;
            }
            // The requester (binding answers, in order: one is sent per tick) and every target.
            std::vector<pollfd> polled{{requester.native_handle(), POLLIN, 0}};
            for (const auto& target : targets) {
                polled.push_back({target->native_handle(), POLLIN, 0});
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>((now < end ? due : drained) - now);
            if (::poll(polled.data(), polled.size(),
                       static_cast<int>(std::max<long long>(0, wait.count()))) <= 0) {
                continue;
            }
            const auto at = Clock::now();
            if ((polled[0].revents & POLLIN) != 0 && take(requester) == Content::BIND_RESP) {
                const auto open = std::find_if(ticks.begin(), ticks.end(), [](const Tick& tick) {
                    return tick.bound == Clock::time_point{};
                });
                if (open != ticks.end()) {
                    open->bound = at;
                }
            }
            for (std::size_t i = 1; i < polled.size(); ++i) {
                if ((polled[i].revents & POLLIN) != 0 && take(*targets[i - 1]) == Content::PING_DIRECT) {
                    for (auto tick = ticks.rbegin(); tick != ticks.rend(); ++tick) {
                        if (tick->target == i - 1 && tick->relayed == Clock::time_point{}) {
                            tick->relayed = at;
                            break;
                        }
                    }
                }
            }
        }
        std::printf("{\"ticks\":[");
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            const Tick& tick = ticks[i];
            const auto micros = [&](Clock::time_point answered) {
                return answered == Clock::time_point{}
                           ? -1.0
                           : std::chrono::duration<double, std::micro>(answered - tick.sent).count();
            };
            std::printf("%s[%.6f,%.1f,%.1f]", i == 0 ? "" : ",", monotonic(tick.sent), micros(tick.relayed),
                        micros(tick.bound));
        }
        std::printf("]}\n");
        std::fflush(stdout);
    }
    return 0;
}
