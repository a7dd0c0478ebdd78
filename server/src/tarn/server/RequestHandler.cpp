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
    : endpoints_(endpoints),
      maxTargets_(maxTargets),
      maxReflected_(maxReflected),
      shared_(shared),
      counters_(counters),
      throttle_(logLinesPerSecond) {}

void RequestHandler::handle(const Datagram& datagram, std::size_t via, Clock::time_point now,
                            SendBatch& out) {
    counters_.add(Counters::kReceived);
    if (datagram.oversized) {
        drop(Counters::kDropOversized, datagram.source, now,
             [] { return "datagram longer than " + std::to_string(kMaxDatagram) + " bytes"; });
        return;
    }
    if (!generated::parseMessage(request_, datagram.data, datagram.length)) {
        drop(Counters::kDropUndecodable, datagram.source, now,
             [&] { return "undecodable datagram of " + std::to_string(datagram.length) + " bytes"; });
        return;
    }
    switch (request_.type()) {
        case Content::BIND_REQ:
            handleBind(datagram.source, via, now, out);
            break;
        case Content::PING_RELAY:
            handleRelay(datagram, via, now, out);
            break;
        default:
            counters_.add(Counters::kOtherRequests);
            drop(Counters::kDropOtherType, datagram.source, now, [&] {
                return generated::typeName(request_.type()) + ", which this server does not answer";
            });
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
    for (const auto& own : endpoints_) {
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
    for (const auto& attribute : request_.attributes()) {
        if (attribute.type() == Attribute::CHANGE_REQUEST) {
            change = &attribute;
        }
    }
    counters_.add(change != nullptr ? Counters::kBindChangeRequests : Counters::kBindRequests);
    if (isForbidden(source)) {
        drop(Counters::kDropSourceForbidden, source, now,
             [] { return std::string("BIND_REQ from an endpoint that must not be answered"); });
        return;
    }
    if (!shared_.bindLimiter.allow(source.address().to_v4(), now)) {
        drop(Counters::kDropBindRateLimited, source, now,
             [] { return std::string("BIND_REQ over the rate limit of its address"); });
        return;
    }
    if (shared_.store == nullptr) {
        shared_.allowList.remember(source, now);
    } else if (shared_.allowList.remember(source, now, shared_.store->epoch())) {
        // A flood of new sources from one block must not crowd the others' records out of the
        // store's queue; its records are due again at their next request.
        const auto block = boost::asio::ip::address_v4(source.address().to_v4().to_uint() & 0xFFFFFF00u);
        if (shared_.storeWriteLimiter->allow(block, now)) {
            // The endpoint that received it is the one whose pings the source's NAT lets in.
            shared_.store->write(source, endpoints_[via]);
        } else {
            shared_.allowList.forgetStoreWrite(AllowList::keyOf(source));
            shared_.store->writeOverBudget();
        }
    }

    answer_.Clear();
    answer_.set_type(Content::BIND_RESP);
    generated::addAddress(answer_, Attribute::XOR_MAPPED_ADDRESS, source, true);
    unsigned char* bytes = out.next();
    const std::size_t length = generated::serializeMessage(answer_, bytes, kMaxDatagram);
    const std::size_t from = change != nullptr ? changedIndex(via, change->change()) : via;
    out.commit(from, source, length);
    counters_.add(Counters::kBindResponses);
}

bool RequestHandler::admitRelay(const Datagram& datagram, std::size_t targetCount, Clock::time_point now,
                                bool& isForward) {
    const Endpoint& source = datagram.source;
    isForward = false;
    if (shared_.store != nullptr) {
        const auto check =
            shared_.seal->openForward(datagram.data, datagram.length, FleetSeal::wallClockMs());
        if (check == FleetSeal::Check::Stale) {
            drop(Counters::kDropForwardStale, source, now,
                 [] { return std::string("PING_RELAY sealed too long ago or ahead of time"); });
            return false;
        }
        if (check != FleetSeal::Check::Unsealed && (check != FleetSeal::Check::Valid || targetCount != 1)) {
            drop(Counters::kDropForwardForged, source, now, [] {
                return std::string(
                    "PING_RELAY with a seal that does not hold, or sealed over several targets");
            });
            return false;
        }
        // From an address not (yet) known as a server's, a sealed forward is a player's request: a
        // server that came back with the store is known within a check, and a forward played
        // again from elsewhere gets no more than a player.
        isForward =
            check == FleetSeal::Check::Valid && shared_.store->isFleetServer(source.address().to_v4());
    }
    if (isForward && !shared_.fleetLimiter->allow(source.address().to_v4(), now)) {
        drop(Counters::kDropFleetRateLimited, source, now,
             [] { return std::string("forwarded PING_RELAY over the fleet's rate limit of its address"); });
        return false;
    }
    if (!isForward && !shared_.relayLimiter.allow(source.address().to_v4(), now)) {
        drop(Counters::kDropRelayRateLimited, source, now,
             [] { return std::string("PING_RELAY over the rate limit of its address"); });
        return false;
    }
    return true;
}

void RequestHandler::handleRelay(const Datagram& datagram, std::size_t via, Clock::time_point now,
                                 SendBatch& out) {
    const Endpoint& source = datagram.source;
    counters_.add(Counters::kRelayRequests);
    // Count before decoding anything, so an oversized request costs as little as possible.
    std::size_t targetCount = 0;
    std::size_t reflectedCount = 0;
    for (const auto& attribute : request_.attributes()) {
        if (attribute.has_address()) {
            targetCount += attribute.type() == Attribute::XOR_RESPONSE_TARGET;
            reflectedCount += attribute.type() == Attribute::XOR_REFLECTED_FROM;
        }
    }
    // A server of the fleet forwards the relays of all its players, one target each, sealed: its
    // address has a bucket of its own, and what it forwards is never forwarded again.
    bool fromFleet = false;
    if (!admitRelay(datagram, targetCount, now, fromFleet)) {
        return;
    }
    if (targetCount > maxTargets_ || reflectedCount > maxReflected_) {
        drop(Counters::kDropRelayOverCap, source, now, [&] {
            return "PING_RELAY with " + std::to_string(targetCount) + " targets and " +
                   std::to_string(reflectedCount) + " reflected addresses; at most " +
                   std::to_string(maxTargets_) + " and " + std::to_string(maxReflected_) + " are relayed";
        });
        return;
    }
    std::string gameId;
    generated::getResponseTargets(request_, targets_, true);
    if (!request_.has_uuid() || !generated::getGameId(request_, gameId) || targets_.empty()) {
        drop(Counters::kDropRelayIncomplete, source, now,
             [] { return std::string("PING_RELAY without a UUID, a game id or a target"); });
        return;
    }

    answer_.Clear();
    answer_.set_type(Content::PING_DIRECT);
    generated::addGameId(answer_, gameId);
    *answer_.mutable_uuid() = request_.uuid();
    Endpoint reflected;
    for (const auto& attribute : request_.attributes()) {
        if (attribute.type() == Attribute::XOR_REFLECTED_FROM && attribute.has_address() &&
            generated::decodeAddress(attribute.address(), reflected, true)) {
            generated::addAddress(answer_, Attribute::XOR_RESPONSE_TARGET, reflected, true);
        }
    }
    const std::size_t length = generated::serializeMessage(answer_, ping_.data(), ping_.size());
    if (length == 0) {
        drop(Counters::kDropRelayOverCap, source, now,
             [] { return std::string("PING_RELAY whose ping does not fit into a datagram"); });
        return;
    }
    std::size_t lookups = 0;
    for (const auto& target : targets_) {
        if (isForbidden(target)) {
            drop(Counters::kDropTargetForbidden, source, now,
                 [&] { return "PING_RELAY target " + endpointText(target) + " is not permitted"; });
        } else if (!shared_.allowList.contains(target, now)) {
            if (shared_.store == nullptr) {
                drop(Counters::kDropTargetUnknown, source, now, [&] {
                    return "PING_RELAY target " + endpointText(target) + " sent no binding request recently";
                });
            } else if (lookups == kMaxLookupsPerRequest || !takeLookup(now)) {
                counters_.add(Counters::kStoreOverBudget);
                drop(Counters::kDropTargetUnknown, source, now, [&] {
                    return "PING_RELAY target " + endpointText(target) +
                           " sent no binding request here, and the shared store's look-up budget is spent";
                });
            } else if (!shared_.store->hasRoom() ||
                       !shared_.store->park(source, target, via, {ping_.data(), ping_.data() + length},
                                            fromFleet ? std::vector<unsigned char>() : forwardTo(target),
                                            now)) {
                counters_.add(Counters::kStoreUnavailable);
                drop(Counters::kDropTargetUnknown, source, now, [&] {
                    return "PING_RELAY target " + endpointText(target) +
                           " sent no binding request here, and the shared store cannot be asked";
                });
            } else {
                ++lookups;
            }
        } else {
            std::memcpy(out.next(), ping_.data(), length);
            out.commit(via, target, length);
            counters_.add(Counters::kRelayedPings);
        }
    }
}

void RequestHandler::settleStore(Clock::time_point now, SendBatch& out) {
    if (shared_.store == nullptr) {
        return;
    }
    shared_.store->settle(now, [&](const StoreLink::Parked& parked, StoreLink::Outcome outcome,
                                   const Endpoint& server) {
        switch (outcome) {
            case StoreLink::Outcome::Hit: {
                counters_.add(Counters::kStoreHit);
                // The target's NAT lets in pings from the endpoint it bound at, only: sent from
                // there when that is ours, else that server is asked to send it.
                const auto own = std::find(endpoints_.begin(), endpoints_.end(), server);
                if (own != endpoints_.end()) {
                    std::memcpy(out.next(), parked.ping.data(), parked.ping.size());
                    out.commit(static_cast<std::size_t>(own - endpoints_.begin()), parked.target,
                               parked.ping.size());
                    counters_.add(Counters::kRelayedPings);
                } else if (!parked.forward.empty() && !isFleetEndpoint(server)) {
                    drop(Counters::kDropOutsideFleet, parked.source, now, [&] {
                        return "PING_RELAY target " + endpointText(parked.target) + " bound at " +
                               endpointText(server) + ", which is no live server of the fleet on its ports";
                    });
                } else if (!parked.forward.empty()) {
                    sealed_.assign(parked.forward.begin(), parked.forward.end());
                    shared_.seal->sealForward(sealed_, FleetSeal::wallClockMs());
                    std::memcpy(out.next(), sealed_.data(), sealed_.size());
                    out.commit(parked.via, server, sealed_.size());
                    counters_.add(Counters::kForwardedRelays);
                } else {
                    drop(Counters::kDropTargetUnknown, parked.source, now, [&] {
                        return "PING_RELAY target " + endpointText(parked.target) + " bound at " +
                               endpointText(server) + ", and a forwarded relay is not forwarded again";
                    });
                }
                return;
            }
            case StoreLink::Outcome::Miss:
                counters_.add(Counters::kStoreMiss);
                break;
            case StoreLink::Outcome::Timeout:
                counters_.add(Counters::kStoreTimeout);
                break;
            case StoreLink::Outcome::Unavailable:
                counters_.add(Counters::kStoreUnavailable);
                break;
            case StoreLink::Outcome::Refused:
                counters_.add(Counters::kStoreRefused);
                break;
            case StoreLink::Outcome::Forged:
                counters_.add(Counters::kStoreForged);
                break;
        }
        drop(Counters::kDropTargetUnknown, parked.source, now, [&] {
            static const char* const kWhy[] = {"",
                                               "knows it neither",
                                               "did not answer in time",
                                               "could not be asked",
                                               "had too many questions waiting",
                                               "holds a record without a valid seal"};
            return "PING_RELAY target " + endpointText(parked.target) +
                   " sent no binding request here, and the shared store " + kWhy[static_cast<int>(outcome)];
        });
    });
}

bool RequestHandler::takeLookup(Clock::time_point now) {
    const double elapsed = std::chrono::duration<double>(now - lookupsRefilled_).count();
    lookupTokens_ = std::min(kLookupsPerSecond, lookupTokens_ + elapsed * kLookupsPerSecond);
    lookupsRefilled_ = now;
    if (lookupTokens_ < 1) {
        return false;
    }
    lookupTokens_ -= 1;
    return true;
}

bool RequestHandler::isFleetEndpoint(const Endpoint& server) const {
    // Every server of the fleet serves the same two ports; a record naming any other is forged.
    return (server.port() == endpoints_[0].port() || server.port() == endpoints_[1].port()) &&
           !isForbidden(server) && shared_.store->isFleetServer(server.address().to_v4());
}

std::vector<unsigned char> RequestHandler::forwardTo(const Endpoint& target) {
    forward_.Clear();
    forward_.set_type(Content::PING_RELAY);
    *forward_.mutable_uuid() = request_.uuid();
    for (const auto& attribute : request_.attributes()) {
        if (attribute.type() == Attribute::GAME_ID || attribute.type() == Attribute::XOR_REFLECTED_FROM) {
            *forward_.add_attributes() = attribute;
        }
    }
    generated::addAddress(forward_, Attribute::XOR_RESPONSE_TARGET, target, true);
    std::vector<unsigned char> bytes(kMaxDatagram - FleetSeal::kForwardSeal);
    bytes.resize(generated::serializeMessage(forward_, bytes.data(), bytes.size()));
    return bytes;
}

void RequestHandler::logDrop(Counters::Id reason, const Endpoint& source, const std::string& why) {
    std::string line = "dropped from " + endpointText(source) + " (" + Counters::name(reason) + "): " + why;
    if (const auto suppressed = throttle_.takeSuppressed()) {
        line += "; " + std::to_string(suppressed) + " earlier drop lines suppressed";
    }
    Log::warn(line);
}

}  // namespace server
}  // namespace tarn
