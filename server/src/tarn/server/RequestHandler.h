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
#include "tarn/server/FleetSeal.h"
#include "tarn/server/LogThrottle.h"
#include "tarn/server/RateLimiter.h"
#include "tarn/server/ReplayWindow.h"
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

    // Relay targets of one request that may be looked up in the shared store; the others are
    // refused, so that one datagram cannot cost the store more than this.
    static constexpr std::size_t kMaxLookupsPerRequest = 4;
    // Look-ups a worker may ask a second (and at once): what a flood spread over many addresses
    // can cost the store, whatever the per-address limits let through.
    static constexpr double kLookupsPerSecond = 20000;

    struct Shared {
        AllowList& allowList;
        RateLimiter& bindLimiter;
        RateLimiter& relayLimiter;
        // The worker's link to the shared store; null without one (and then the rest is unused).
        StoreLink* store = nullptr;
        // Sealed forwards from a server of the fleet, by its address: exempt from relayLimiter.
        RateLimiter* fleetLimiter = nullptr;
        // Records written to the store, by /24 address block.
        RateLimiter* storeWriteLimiter = nullptr;
        const FleetSeal* seal = nullptr;
        // The numbers of the forwards taken so far, by sending server endpoint.
        ReplayWindow* replays = nullptr;
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
    void handleRelay(const Datagram& datagram, std::size_t via, Clock::time_point now, SendBatch& out);
    // Whether the relay from source, received at endpoint index via, passes: a sealed forward
    // must hold, be fresh, name source and our endpoint as its ends and come for the first time;
    // then from a server of the fleet it takes the fleet's bucket, and anything else the player's.
    // Sets isForward; false after counting the drop.
    bool admitRelay(const Datagram& datagram, std::size_t via, std::size_t targetCount, Clock::time_point now,
                    bool& isForward);
    // Whether a sealed forward passes the seal's checks; false after counting the drop.
    bool admitSeal(const Datagram& datagram, std::size_t via, std::size_t targetCount, Clock::time_point now,
                   FleetSeal::Check& check);
    // Whether a look-up may be asked now within the worker's budget; takes one.
    bool takeLookup(Clock::time_point now);
    // Whether a forward may go to server: a live server of the fleet, on one of the fleet's ports.
    bool isFleetEndpoint(const Endpoint& server) const;
    // Counts the drop and, unless throttled, logs the text why() makes (only then is it made).
    template <typename Why>
    void drop(Counters::Id reason, const Endpoint& source, Clock::time_point now, Why&& why) {
        counters.add(reason);
        if (throttle.allow(now)) {
            logDrop(reason, source, why());
        }
    }
    void logDrop(Counters::Id reason, const Endpoint& source, const std::string& why);
    // The current relay request for target alone, as the server target bound at is asked to send it.
    std::vector<unsigned char> forwardTo(const Endpoint& target);

    Endpoints endpoints;
    unsigned maxTargets;
    unsigned maxReflected;
    Shared shared;
    Counters& counters;
    LogThrottle throttle;
    generated::Content request;
    generated::Content answer;
    generated::EndpointList targets;
    generated::Content forward;
    // A forward with its seal, reused.
    std::vector<unsigned char> sealed;
    std::array<unsigned char, kMaxDatagram> ping{};
    // The worker's look-up budget: tokens left, and when they were last refilled.
    double lookupTokens = kLookupsPerSecond;
    Clock::time_point lookupsRefilled{};
};

}  // namespace server
}  // namespace tarn
