#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/MessageHelpers.h"
#include "tarn/server/AllowList.h"
#include "tarn/server/Counters.h"
#include "tarn/server/Datagram.h"
#include "tarn/server/LogThrottle.h"
#include "tarn/server/RateLimiter.h"
#include "tarn/server/SendBatch.h"
#include "tarn/server/StoreLink.h"

namespace tarn {
namespace server {

// Decides what one datagram gets: a binding answer, relayed pings, or nothing; counts each outcome.
// One per worker (it keeps message objects for reuse); the tables it is given are shared.
class RequestHandler {
public:
    using Clock = std::chrono::steady_clock;
    using Endpoint = boost::asio::ip::udp::endpoint;
    // The server's endpoints by index: 0 = addr1:port1, 1 = addr1:port2, 2 = addr2:port1, 3 = addr2:port2.
    // Flipping bit 0 of an index changes the port, bit 1 the address.
    using Endpoints = std::array<Endpoint, 4>;

    struct Shared {
        AllowList& allowList;
        RateLimiter& bindLimiter;
        RateLimiter& relayLimiter;
        // The worker's link to the shared store; null without one.
        StoreLink* store = nullptr;
    };

    RequestHandler(const Endpoints& endpoints, unsigned maxTargets, unsigned maxReflected, Shared shared,
                   Counters& counters, unsigned logLinesPerSecond);

    // Handles a datagram that arrived at endpoint index via; answers are queued in out, which
    // sends through the worker's sockets in the same index order.
    void handle(const Datagram& datagram, std::size_t via, Clock::time_point now, SendBatch& out);
    // Sends the parked pings the shared store has confirmed by now and refuses the others that
    // were answered or ran out of time; nothing without a store.
    void settleStore(Clock::time_point now, SendBatch& out);

private:
    // Whether nothing may be sent there: port 0, an unspecified, broadcast or multicast address,
    // or one of the server's own endpoints.
    bool isForbidden(const Endpoint& destination) const;
    void handleBind(const Endpoint& source, std::size_t via, Clock::time_point now, SendBatch& out);
    void handleRelay(const Endpoint& source, std::size_t via, Clock::time_point now, SendBatch& out);
    // Counts the drop and, unless throttled, logs the text why() makes (only then is it made).
    template <typename Why>
    void drop(Counters::Id reason, const Endpoint& source, Clock::time_point now, Why&& why) {
        counters_.add(reason);
        if (throttle_.allow(now)) {
            logDrop(reason, source, why());
        }
    }
    void logDrop(Counters::Id reason, const Endpoint& source, const std::string& why);
    // The current relay request for target alone, as the server target bound at is asked to send it.
    std::vector<unsigned char> forwardTo(const Endpoint& target);

    Endpoints endpoints_;
    unsigned maxTargets_;
    unsigned maxReflected_;
    Shared shared_;
    Counters& counters_;
    LogThrottle throttle_;
    generated::Content request_;
    generated::Content answer_;
    generated::EndpointList targets_;
    generated::Content forward_;
    std::array<unsigned char, kMaxDatagram> ping_{};
};

}  // namespace server
}  // namespace tarn
