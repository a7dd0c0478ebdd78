#include "tarn/server/RequestHandler.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tarn/server/Log.h"

namespace tarn {
namespace server {

using generated::Attribute;
using generated::Content;

namespace {

FleetSeal::Hop hopOf(const boost::asio::ip::udp::endpoint& endpoint) {
    return {endpoint.address().to_v4().to_uint(), endpoint.port()};
}

boost::asio::ip::udp::endpoint endpointOf(const FleetSeal::Hop& hop) {
    return {boost::asio::ip::address_v4(hop.address), hop.port};
}

// Index of the endpoint that answers a change request received at via.
std::size_t changedIndex(std::size_t via, Attribute::Change change) {
    switch (change) {
        case Attribute::CHANGE_PORT:
            return via ^ 1;
        case Attribute::CHANGE_ADDR:
            return via ^ 2;
        case Attribute::CHANGE_BOTH:
            break;
    }
    return via ^ 3;
}

}  // namespace

RequestHandler::RequestHandler(const Endpoints& endpoints, unsigned maxTargets, unsigned maxReflected,
                               Shared shared, Counters& counters, unsigned logLinesPerSecond)
    : endpoints(endpoints),
      maxTargets(maxTargets),
      maxReflected(maxReflected),
      shared(shared),
      counters(counters),
      throttle(logLinesPerSecond) {}

void RequestHandler::handle(const Datagram& datagram, std::size_t via, Clock::time_point now,
                            SendBatch& out) {
    counters.add(Counters::RECEIVED);
    if (datagram.oversized) {
        drop(Counters::DROP_OVERSIZED, datagram.source, now,
             [] { return "datagram longer than " + std::to_string(kMaxDatagram) + " bytes"; });
        return;
    }
    if (!generated::parseMessage(request, datagram.data, datagram.length)) {
        drop(Counters::DROP_UNDECODABLE, datagram.source, now,
             [&] { return "undecodable datagram of " + std::to_string(datagram.length) + " bytes"; });
        return;
    }
    switch (request.type()) {
        case Content::BIND_REQ:
            handleBind(datagram.source, via, now, out);
            break;
        case Content::PING_RELAY:
            handleRelay(datagram, via, now, out);
            break;
        default:
            counters.add(Counters::OTHER_REQUESTS);
            drop(Counters::DROP_OTHER_TYPE, datagram.source, now,
                 [&] { return generated::typeName(request.type()) + ", which this server does not answer"; });
            break;
    }
}

bool RequestHandler::isForbidden(const Endpoint& destination) const {
    const auto address = destination.address().to_v4();
    // 0.0.0.0/8 names "this host on this network" and is never a valid destination.
    if (destination.port() == 0 || (address.to_uint() >> 24) == 0 || address.is_multicast() ||
        address == boost::asio::ip::address_v4::broadcast()) {
        return true;
    }
    for (const auto& own : endpoints) {
        if (destination == own) {
            return true;
        }
    }
    return false;
}

void RequestHandler::handleBind(const Endpoint& source, std::size_t via, Clock::time_point now,
                                SendBatch& out) {
    // The last change request counts, as with every attribute the protocol reads.
    const Attribute* change = nullptr;
    for (const auto& attribute : request.attributes()) {
        if (attribute.type() == Attribute::CHANGE_REQUEST) {
            change = &attribute;
        }
    }
    counters.add(change != nullptr ? Counters::BIND_CHANGE_REQUESTS : Counters::BIND_REQUESTS);
    if (isForbidden(source)) {
        drop(Counters::DROP_SOURCE_FORBIDDEN, source, now,
             [] { return std::string("BIND_REQ from an endpoint that must not be answered"); });
        return;
    }
    if (!shared.bindLimiter.allow(source.address().to_v4(), now)) {
        drop(Counters::DROP_BIND_RATE_LIMITED, source, now,
             [] { return std::string("BIND_REQ over the rate limit of its address"); });
        return;
    }
    if (shared.store == nullptr) {
        shared.allowList.remember(source, now);
    } else if (shared.allowList.remember(source, now, shared.store->epoch())) {
        // A flood of new sources from one block must not crowd the others' records out of the
        // store's queue; its records are due again at their next request.
        const auto block = boost::asio::ip::address_v4(source.address().to_v4().to_uint() & 0xFFFFFF00u);
        if (shared.storeWriteLimiter->allow(block, now)) {
            // The endpoint that received it is the one whose pings the source's NAT lets in.
            shared.store->write(source, endpoints[via]);
        } else {
            shared.allowList.forgetStoreWrite(AllowList::keyOf(source));
            shared.store->writeOverBudget();
        }
    }

    answer.Clear();
    answer.set_type(Content::BIND_RESP);
    generated::addAddress(answer, Attribute::XOR_MAPPED_ADDRESS, source, true);
    unsigned char* bytes = out.next();
    const std::size_t length = generated::serializeMessage(answer, bytes, kMaxDatagram);
    const std::size_t from = change != nullptr ? changedIndex(via, change->change()) : via;
    out.commit(from, source, length);
    counters.add(Counters::BIND_RESPONSES);
}

bool RequestHandler::admitSeal(const Datagram& datagram, std::size_t via, std::size_t targetCount,
                               Clock::time_point now, FleetSeal::Check& check) {
    const Endpoint& source = datagram.source;
    const std::int64_t nowMs = FleetSeal::wallClockMs();
    const FleetSeal::Forward forward = shared.seal->openForward(datagram.data, datagram.length, nowMs);
    check = forward.check;
    if (check == FleetSeal::Check::UNSEALED) {
        return true;
    }
    if (check == FleetSeal::Check::STALE) {
        drop(Counters::DROP_FORWARD_STALE, source, now,
             [] { return std::string("PING_RELAY sealed too long ago or ahead of time"); });
        return false;
    }
    if (check != FleetSeal::Check::VALID || targetCount != 1) {
        drop(Counters::DROP_FORWARD_FORGED, source, now, [] {
            return std::string("PING_RELAY with a seal that does not hold, or sealed over several targets");
        });
        return false;
    }
    if (forward.from != hopOf(source) || forward.to != hopOf(endpoints[via])) {
        drop(Counters::DROP_FORWARD_FORGED, source, now, [&] {
            return "PING_RELAY sealed from " + endpointText(endpointOf(forward.from)) + " to " +
                   endpointText(endpointOf(forward.to)) + ", received at " + endpointText(endpoints[via]);
        });
        return false;
    }
    switch (shared.replays->admit(forward.from, forward.sequence, nowMs)) {
        case ReplayWindow::Verdict::FIRST:
            return true;
        case ReplayWindow::Verdict::REPLAYED:
        case ReplayWindow::Verdict::TOO_OLD:
            drop(Counters::DROP_FORWARD_REPLAYED, source, now, [&] {
                return "PING_RELAY sealed with number " + std::to_string(forward.sequence) +
                       ", taken before or below the last " + std::to_string(ReplayWindow::kWidth) +
                       " numbers of its sender";
            });
            return false;
        case ReplayWindow::Verdict::FULL:
            break;
    }
    drop(Counters::DROP_FORWARD_REPLAYED, source, now, [] {
        return "PING_RELAY sealed by a server endpoint beyond the " +
               std::to_string(ReplayWindow::kMaxSenders) + " whose numbers are kept";
    });
    return false;
}

bool RequestHandler::admitRelay(const Datagram& datagram, std::size_t via, std::size_t targetCount,
                                Clock::time_point now, bool& isForward) {
    const Endpoint& source = datagram.source;
    isForward = false;
    if (shared.store != nullptr) {
        FleetSeal::Check check = FleetSeal::Check::UNSEALED;
        if (!admitSeal(datagram, via, targetCount, now, check)) {
            return false;
        }
        // From an address not (yet) known as a server's, a sealed forward is a player's request: a
        // server that came back with the store is known within a check.
        isForward = check == FleetSeal::Check::VALID && shared.store->isFleetServer(source.address().to_v4());
    }
    if (isForward && !shared.fleetLimiter->allow(source.address().to_v4(), now)) {
        drop(Counters::DROP_FLEET_RATE_LIMITED, source, now,
             [] { return std::string("forwarded PING_RELAY over the fleet's rate limit of its address"); });
        return false;
    }
    if (!isForward && !shared.relayLimiter.allow(source.address().to_v4(), now)) {
        drop(Counters::DROP_RELAY_RATE_LIMITED, source, now,
             [] { return std::string("PING_RELAY over the rate limit of its address"); });
        return false;
    }
    return true;
}

void RequestHandler::handleRelay(const Datagram& datagram, std::size_t via, Clock::time_point now,
                                 SendBatch& out) {
    const Endpoint& source = datagram.source;
    counters.add(Counters::RELAY_REQUESTS);
    // Count before decoding anything, so an oversized request costs as little as possible.
    std::size_t targetCount = 0;
    std::size_t reflectedCount = 0;
    for (const auto& attribute : request.attributes()) {
        if (attribute.has_address()) {
            targetCount += attribute.type() == Attribute::XOR_RESPONSE_TARGET;
            reflectedCount += attribute.type() == Attribute::XOR_REFLECTED_FROM;
        }
    }
    // A server of the fleet forwards the relays of all its players, one target each, sealed: its
    // address has a bucket of its own, and what it forwards is never forwarded again.
    bool fromFleet = false;
    if (!admitRelay(datagram, via, targetCount, now, fromFleet)) {
        return;
    }
    if (targetCount > maxTargets || reflectedCount > maxReflected) {
        drop(Counters::DROP_RELAY_OVER_CAP, source, now, [&] {
            return "PING_RELAY with " + std::to_string(targetCount) + " targets and " +
                   std::to_string(reflectedCount) + " reflected addresses; at most " +
                   std::to_string(maxTargets) + " and " + std::to_string(maxReflected) + " are relayed";
        });
        return;
    }
    std::string gameId;
    generated::getResponseTargets(request, targets, true);
    if (!request.has_uuid() || !generated::getGameId(request, gameId) || targets.empty()) {
        drop(Counters::DROP_RELAY_INCOMPLETE, source, now,
             [] { return std::string("PING_RELAY without a UUID, a game id or a target"); });
        return;
    }

    answer.Clear();
    answer.set_type(Content::PING_DIRECT);
    generated::addGameId(answer, gameId);
    *answer.mutable_uuid() = request.uuid();
    Endpoint reflected;
    for (const auto& attribute : request.attributes()) {
        if (attribute.type() == Attribute::XOR_REFLECTED_FROM && attribute.has_address() &&
            generated::decodeAddress(attribute.address(), reflected, true)) {
            generated::addAddress(answer, Attribute::XOR_RESPONSE_TARGET, reflected, true);
        }
    }
    const std::size_t length = generated::serializeMessage(answer, ping.data(), ping.size());
    if (length == 0) {
        drop(Counters::DROP_RELAY_OVER_CAP, source, now,
             [] { return std::string("PING_RELAY whose ping does not fit into a datagram"); });
        return;
    }
    std::size_t lookups = 0;
    for (const auto& target : targets) {
        if (isForbidden(target)) {
            drop(Counters::DROP_TARGET_FORBIDDEN, source, now,
                 [&] { return "PING_RELAY target " + endpointText(target) + " is not permitted"; });
        } else if (!shared.allowList.contains(target, now)) {
            if (shared.store == nullptr) {
                drop(Counters::DROP_TARGET_UNKNOWN, source, now, [&] {
                    return "PING_RELAY target " + endpointText(target) + " sent no binding request recently";
                });
            } else if (lookups == kMaxLookupsPerRequest || !takeLookup(now)) {
                counters.add(Counters::STORE_OVER_BUDGET);
                drop(Counters::DROP_TARGET_UNKNOWN, source, now, [&] {
                    return "PING_RELAY target " + endpointText(target) +
                           " sent no binding request here, and the shared store's look-up budget is spent";
                });
            } else if (!shared.store->hasRoom() ||
                       !shared.store->park(source, target, via, {ping.data(), ping.data() + length},
                                           fromFleet ? std::vector<unsigned char>() : forwardTo(target),
                                           now)) {
                counters.add(Counters::STORE_UNAVAILABLE);
                drop(Counters::DROP_TARGET_UNKNOWN, source, now, [&] {
                    return "PING_RELAY target " + endpointText(target) +
                           " sent no binding request here, and the shared store cannot be asked";
                });
            } else {
                ++lookups;
            }
        } else {
            std::memcpy(out.next(), ping.data(), length);
            out.commit(via, target, length);
            counters.add(Counters::RELAYED_PINGS);
        }
    }
}

void RequestHandler::settleStore(Clock::time_point now, SendBatch& out) {
    if (shared.store == nullptr) {
        return;
    }
    shared.store->settle(now, [&](const StoreLink::Parked& parked, StoreLink::Outcome outcome,
                                  const Endpoint& server) {
        switch (outcome) {
            case StoreLink::Outcome::HIT: {
                counters.add(Counters::STORE_HIT);
                // The target's NAT lets in pings from the endpoint it bound at, only: sent from
                // there when that is ours, else that server is asked to send it.
                const auto own = std::find(endpoints.begin(), endpoints.end(), server);
                if (own != endpoints.end()) {
                    std::memcpy(out.next(), parked.ping.data(), parked.ping.size());
                    out.commit(static_cast<std::size_t>(own - endpoints.begin()), parked.target,
                               parked.ping.size());
                    counters.add(Counters::RELAYED_PINGS);
                } else if (!parked.forward.empty() && !isFleetEndpoint(server)) {
                    drop(Counters::DROP_OUTSIDE_FLEET, parked.source, now, [&] {
                        return "PING_RELAY target " + endpointText(parked.target) + " bound at " +
                               endpointText(server) + ", which is no live server of the fleet on its ports";
                    });
                } else if (!parked.forward.empty()) {
                    sealed.assign(parked.forward.begin(), parked.forward.end());
                    if (!shared.seal->sealForward(sealed, hopOf(endpoints[parked.via]), hopOf(server),
                                                  FleetSeal::wallClockMs())) {
                        // FleetSeal logged why; an unsealed forward would be a player's request.
                        counters.add(Counters::DROP_SEND_FAILED);
                        return;
                    }
                    std::memcpy(out.next(), sealed.data(), sealed.size());
                    out.commit(parked.via, server, sealed.size());
                    counters.add(Counters::FORWARDED_RELAYS);
                } else {
                    drop(Counters::DROP_TARGET_UNKNOWN, parked.source, now, [&] {
                        return "PING_RELAY target " + endpointText(parked.target) + " bound at " +
                               endpointText(server) + ", and a forwarded relay is not forwarded again";
                    });
                }
                return;
            }
            case StoreLink::Outcome::MISS:
                counters.add(Counters::STORE_MISS);
                break;
            case StoreLink::Outcome::TIMEOUT:
                counters.add(Counters::STORE_TIMEOUT);
                break;
            case StoreLink::Outcome::UNAVAILABLE:
                counters.add(Counters::STORE_UNAVAILABLE);
                break;
            case StoreLink::Outcome::REFUSED:
                counters.add(Counters::STORE_REFUSED);
                break;
            case StoreLink::Outcome::FORGED:
                counters.add(Counters::STORE_FORGED);
                break;
        }
        drop(Counters::DROP_TARGET_UNKNOWN, parked.source, now, [&] {
            static const char* const why[] = {"",
                                              "knows it neither",
                                              "did not answer in time",
                                              "could not be asked",
                                              "had too many questions waiting",
                                              "holds a record without a valid seal"};
            return "PING_RELAY target " + endpointText(parked.target) +
                   " sent no binding request here, and the shared store " + why[static_cast<int>(outcome)];
        });
    });
}

bool RequestHandler::takeLookup(Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - lookupsRefilled).count();
    lookupTokens = std::min(kLookupsPerSecond, lookupTokens + elapsed * kLookupsPerSecond);
    lookupsRefilled = now;
    if (lookupTokens < 1) {
        return false;
    }
    lookupTokens -= 1;
    return true;
}

bool RequestHandler::isFleetEndpoint(const Endpoint& server) const {
    // Every server of the fleet serves the same two ports; a record naming any other is forged.
    return (server.port() == endpoints[0].port() || server.port() == endpoints[1].port()) &&
           !isForbidden(server) && shared.store->isFleetServer(server.address().to_v4());
}

std::vector<unsigned char> RequestHandler::forwardTo(const Endpoint& target) {
    forward.Clear();
    forward.set_type(Content::PING_RELAY);
    *forward.mutable_uuid() = request.uuid();
    for (const auto& attribute : request.attributes()) {
        if (attribute.type() == Attribute::GAME_ID || attribute.type() == Attribute::XOR_REFLECTED_FROM) {
            *forward.add_attributes() = attribute;
        }
    }
    generated::addAddress(forward, Attribute::XOR_RESPONSE_TARGET, target, true);
    std::vector<unsigned char> bytes(kMaxDatagram - FleetSeal::kForwardSeal);
    bytes.resize(generated::serializeMessage(forward, bytes.data(), bytes.size()));
    return bytes;
}

void RequestHandler::logDrop(Counters::Id reason, const Endpoint& source, const std::string& why) {
    std::string line = "dropped from " + endpointText(source) + " (" + Counters::name(reason) + "): " + why;
    if (const auto suppressed = throttle.takeSuppressed()) {
        line += "; " + std::to_string(suppressed) + " earlier drop lines suppressed";
    }
    Log::warn(line);
}

}  // namespace server
}  // namespace tarn
