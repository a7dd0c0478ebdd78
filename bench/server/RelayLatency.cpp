// tarn-relay-latency: how long a relayed ping takes on loopback, from the PING_RELAY leaving the
// requester to the PING_DIRECT reaching its target. Every target first binds to --bind-to (the
// relaying server itself, or another server of the fleet, whose record the relaying server must
// then look up in the shared store), then the relays go one at a time through --via. Bounded: one
// second per answer at most, and COUNT targets, all on SOURCE_ADDR.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/MessageHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;
using Endpoint = boost::asio::ip::udp::endpoint;
using tarn::generated::Attribute;
using tarn::generated::Content;

constexpr int kAnswerWaitMs = 1000;
// Long beside the store's write interval, so that every record is in the store before the relays.
constexpr auto kSettle = std::chrono::milliseconds(200);

Endpoint parseEndpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    return Endpoint(boost::asio::ip::make_address_v4(text.substr(0, colon)),
                    static_cast<unsigned short>(std::stoi(text.substr(colon + 1))));
}

void send(boost::asio::ip::udp::socket& socket, const Content& message, const Endpoint& to) {
    unsigned char bytes[2048];
    const std::size_t length = tarn::generated::serializeMessage(message, bytes, sizeof bytes);
    socket.send_to(boost::asio::buffer(bytes, length), to);
}

// Waits for one datagram of the given type; false when none came in time.
bool receive(boost::asio::ip::udp::socket& socket, Content::Type type) {
    pollfd polled{socket.native_handle(), POLLIN, 0};
    if (::poll(&polled, 1, kAnswerWaitMs) <= 0) {
        return false;
    }
    unsigned char bytes[2048];
    Endpoint from;
    const std::size_t length = socket.receive_from(boost::asio::buffer(bytes), from);
    Content message;
    return tarn::generated::parseMessage(message, bytes, length) && message.type() == type;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: tarn-relay-latency VIA_ADDR:PORT BIND_TO_ADDR:PORT COUNT SOURCE_ADDR\n");
        return 2;
    }
    const Endpoint via = parseEndpoint(argv[1]);
    const Endpoint bindTo = parseEndpoint(argv[2]);
    const int count = std::max(1, std::stoi(argv[3]));
    boost::asio::io_context context;
    // The players' address must not be a server's: a fleet takes requests from those for forwarded ones.
    const Endpoint loopback(boost::asio::ip::make_address_v4(argv[4]), 0);
    boost::asio::ip::udp::socket requester(context, loopback);
    std::vector<std::unique_ptr<boost::asio::ip::udp::socket>> targets;
    Content bind;
    bind.set_type(Content::BIND_REQ);
    for (int i = 0; i < count; ++i) {
        targets.push_back(std::make_unique<boost::asio::ip::udp::socket>(context, loopback));
        send(*targets.back(), bind, bindTo);
        if (!receive(*targets.back(), Content::BIND_RESP)) {
            std::fprintf(stderr, "tarn-relay-latency: no binding answer from %s\n", argv[2]);
            return 1;
        }
    }
    std::this_thread::sleep_for(kSettle);

    std::vector<double> micros;
    int lost = 0;
    for (auto& target : targets) {
        Content relay;
        relay.set_type(Content::PING_RELAY);
        tarn::generated::addGameId(relay, "bench");
        relay.mutable_uuid()->set_uuid_upper(1);
        relay.mutable_uuid()->set_uuid_lower(2);
        tarn::generated::addAddress(relay, Attribute::XOR_RESPONSE_TARGET, target->local_endpoint(), true);
        const auto start = Clock::now();
        send(requester, relay, via);
        if (receive(*target, Content::PING_DIRECT)) {
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        } else {
            ++lost;
        }
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double share) {
        return micros.empty()
                   ? 0.0
                   : micros[std::min(micros.size() - 1, static_cast<std::size_t>(share * micros.size()))];
    };
    std::printf(
        "{\"relays\":%d,\"forwarded\":%zu,\"lost\":%d,\"medianMicros\":%.1f,\"p90Micros\":%.1f,\"p99Micros\":"
        "%.1f}\n",
        count, micros.size(), lost, at(0.5), at(0.9), at(0.99));
    return 0;
}
