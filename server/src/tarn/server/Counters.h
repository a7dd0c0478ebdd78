#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn {
namespace server {

// Every counter of the server, declared once: X(id, name, group, help). The name appears in the
// counters line, its JSON form and as the label of its /metrics family; the group decides where;
// the help text goes into that family's HELP line. Within a group, counters keep this order.
// A new counter is one row here plus its increment.
#define TARN_SERVER_COUNTERS(X)                                                                             \
    X(kReceived, "received", Received, "Datagrams received on the four endpoints.")                         \
    X(kBindRequests, "bind", Requests, "BIND_REQ")                                                          \
    X(kBindChangeRequests, "bindChange", Requests, "with a change request")                                 \
    X(kRelayRequests, "relay", Requests, "PING_RELAY")                                                      \
    X(kOtherRequests, "other", Requests, "any other type")                                                  \
    X(kBindResponses, "bindResponses", Sent, "BIND_RESP")                                                   \
    X(kRelayedPings, "relayedPings", Sent, "PING_DIRECT")                                                   \
    X(kForwardedRelays, "forwardedRelays", Sent,                                                            \
      "PING_RELAY sent on to the server of the fleet the target bound at")                                  \
    X(kDropOversized, "oversized", Dropped, "longer than a datagram the server reads")                      \
    X(kDropUndecodable, "undecodable", Dropped, "not a message")                                            \
    X(kDropOtherType, "otherType", Dropped, "a type the server does not answer")                            \
    X(kDropBindRateLimited, "bindRateLimited", Dropped, "BIND_REQ over the limit of its address")           \
    X(kDropRelayRateLimited, "relayRateLimited", Dropped, "PING_RELAY over the limit of its address")       \
    X(kDropRelayOverCap, "relayOverCap", Dropped, "too many targets or reflected addresses")                \
    X(kDropRelayIncomplete, "relayIncomplete", Dropped, "no UUID, game id or target")                       \
    X(kDropTargetUnknown, "targetUnknown", Dropped, "per refused relay target: it sent no binding request") \
    X(kDropTargetForbidden, "targetForbidden", Dropped, "per refused relay target: not to be sent to")      \
    X(kDropSourceForbidden, "sourceForbidden", Dropped, "BIND_REQ from an endpoint not to be answered")     \
    X(kDropSendFailed, "sendFailed", Dropped, "answers the system did not send")                            \
    X(kDropFleetRateLimited, "fleetRateLimited", Dropped,                                                   \
      "sealed forward over the fleet's limit of its address")                                               \
    X(kDropForwardForged, "forwardForged", Dropped,                                                         \
      "PING_RELAY with a seal that does not hold, or sealed over several targets")                          \
    X(kDropForwardStale, "forwardStale", Dropped, "PING_RELAY sealed too long ago")                         \
    X(kDropOutsideFleet, "outsideFleet", Dropped,                                                           \
      "per relay target whose record names no live server of the fleet on its ports")                       \
    X(kStoreHit, "hit", Store, "known, the ping or the forwarded request went out")                         \
    X(kStoreMiss, "miss", Store, "unknown")                                                                 \
    X(kStoreTimeout, "timeout", Store, "no answer in the wait")                                             \
    X(kStoreUnavailable, "unavailable", Store, "not asked: store unreachable or too many waiting")          \
    X(kStoreRefused, "refused", Store, "not asked: the store's look-up queue was full")                     \
    X(kStoreOverBudget, "overBudget", Store,                                                                \
      "not asked: beyond the look-ups of one request or the worker's look-ups a second")                    \
    X(kStoreForged, "forged", Store, "a record without a valid seal")

// What the server did, counted by one worker without locks; the server adds the workers' counts up.
class Counters {
public:
    enum Id : std::size_t {
#define TARN_SERVER_COUNTER_ID(id, name, group, help) id,
        TARN_SERVER_COUNTERS(TARN_SERVER_COUNTER_ID)
#undef TARN_SERVER_COUNTER_ID
            kCount
    };
    // Where a counter appears: the counters line's groups, in their order ("received" stands alone,
    // before the first), and the /metrics family of each.
    enum class Group { Received, Requests, Sent, Dropped, Store };
    struct Declared {
        const char* name;
        Group group;
        const char* help;
    };
    struct GroupInfo {
        Group group;
        // The group's name in the counters line and its JSON form; null for the one alone.
        const char* name;
        // Its /metrics family (without the server's prefix) and the label that carries the counter's
        // name (null: one unlabelled sample).
        const char* family;
        const char* label;
        // The start of the family's HELP line; each counter's "name (help)" follows.
        const char* lead;
        // Whether /metrics shows it only with a shared store, after the store's own families.
        bool storeOnly;
    };
    using Values = std::array<std::uint64_t, kCount>;
    // Every counter's row of TARN_SERVER_COUNTERS, by id.
    static const std::array<Declared, kCount> kDeclared;
    // Every group, in the order of the counters line.
    static const std::array<GroupInfo, 5> kGroups;

    void add(Id id, std::uint64_t amount = 1) {
        values_[id].fetch_add(amount, std::memory_order_relaxed);
    }
    // Adds this worker's counts into totals.
    void addTo(Values& totals) const;

    // The name of a counter as it appears in the text and JSON forms, e.g. "targetUnknown".
    static const char* name(Id id);
    // One line: "received=3 requests: bind=2 ... | sent: ... | dropped: ... | store: ...".
    static std::string toText(const Values& values);
    // One line of JSON:
    // {"uptimeSeconds":1.5,"received":3,"requests":{...},"sent":{...},"dropped":{...},"store":{...}}.
    static std::string toJson(const Values& values, double uptimeSeconds);
    // The HELP text of a group's /metrics family, made from the group's lead and its counters' help.
    static std::string help(const GroupInfo& group);

private:
    std::array<std::atomic<std::uint64_t>, kCount> values_{};
};

}  // namespace server
}  // namespace tarn
