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
#define TARN_SERVER_COUNTERS(X)                                                                              \
    X(RECEIVED, "received", RECEIVED, "Datagrams received on the four endpoints.")                           \
    X(BIND_REQUESTS, "bind", REQUESTS, "BIND_REQ")                                                           \
    X(BIND_CHANGE_REQUESTS, "bindChange", REQUESTS, "with a change request")                                 \
    X(RELAY_REQUESTS, "relay", REQUESTS, "PING_RELAY")                                                       \
    X(OTHER_REQUESTS, "other", REQUESTS, "any other type")                                                   \
    X(BIND_RESPONSES, "bindResponses", SENT, "BIND_RESP")                                                    \
    X(RELAYED_PINGS, "relayedPings", SENT, "PING_DIRECT")                                                    \
    X(FORWARDED_RELAYS, "forwardedRelays", SENT,                                                             \
      "PING_RELAY sent on to the server of the fleet the target bound at")                                   \
    X(DROP_OVERSIZED, "oversized", DROPPED, "longer than a datagram the server reads")                       \
    X(DROP_UNDECODABLE, "undecodable", DROPPED, "not a message")                                             \
    X(DROP_OTHER_TYPE, "otherType", DROPPED, "a type the server does not answer")                            \
    X(DROP_BIND_RATE_LIMITED, "bindRateLimited", DROPPED, "BIND_REQ over the limit of its address")          \
    X(DROP_RELAY_RATE_LIMITED, "relayRateLimited", DROPPED, "PING_RELAY over the limit of its address")      \
    X(DROP_RELAY_OVER_CAP, "relayOverCap", DROPPED, "too many targets or reflected addresses")               \
    X(DROP_RELAY_INCOMPLETE, "relayIncomplete", DROPPED, "no UUID, game id or target")                       \
    X(DROP_TARGET_UNKNOWN, "targetUnknown", DROPPED, "per refused relay target: it sent no binding request") \
    X(DROP_TARGET_FORBIDDEN, "targetForbidden", DROPPED, "per refused relay target: not to be sent to")      \
    X(DROP_SOURCE_FORBIDDEN, "sourceForbidden", DROPPED, "BIND_REQ from an endpoint not to be answered")     \
    X(DROP_SEND_FAILED, "sendFailed", DROPPED, "answers the system did not send")                            \
    X(DROP_FLEET_RATE_LIMITED, "fleetRateLimited", DROPPED,                                                  \
      "sealed forward over the fleet's limit of its address")                                                \
    X(DROP_FORWARD_FORGED, "forwardForged", DROPPED,                                                         \
      "PING_RELAY with a seal that does not hold, or sealed over several targets")                           \
    X(DROP_FORWARD_STALE, "forwardStale", DROPPED, "PING_RELAY sealed too long ago")                         \
    X(DROP_FORWARD_REPLAYED, "fleetReplayed", DROPPED,                                                       \
      "sealed forward whose number its sender used before, or below the numbers kept")                       \
    X(DROP_OUTSIDE_FLEET, "outsideFleet", DROPPED,                                                           \
      "per relay target whose record names no live server of the fleet on its ports")                        \
    X(STORE_HIT, "hit", STORE, "known, the ping or the forwarded request went out")                          \
    X(STORE_MISS, "miss", STORE, "unknown")                                                                  \
    X(STORE_TIMEOUT, "timeout", STORE, "no answer in the wait")                                              \
    X(STORE_UNAVAILABLE, "unavailable", STORE, "not asked: store unreachable or too many waiting")           \
    X(STORE_REFUSED, "refused", STORE, "not asked: the store's look-up queue was full")                      \
    X(STORE_OVER_BUDGET, "overBudget", STORE,                                                                \
      "not asked: beyond the look-ups of one request or the worker's look-ups a second")                     \
    X(STORE_FORGED, "forged", STORE, "a record without a valid seal")

// What the server did, counted by one worker without locks; the server adds the workers' counts up.
class Counters {
public:
    enum Id : std::size_t {
#define TARN_SERVER_COUNTER_ID(id, name, group, help) id,
        TARN_SERVER_COUNTERS(TARN_SERVER_COUNTER_ID)
#undef TARN_SERVER_COUNTER_ID
            COUNT
    };
    // Where a counter appears: the counters line's groups, in their order ("received" stands alone,
    // before the first), and the /metrics family of each.
    enum class Group { RECEIVED, REQUESTS, SENT, DROPPED, STORE };
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
    using Values = std::array<std::uint64_t, COUNT>;
    // Every counter's row of TARN_SERVER_COUNTERS, by id.
    static const std::array<Declared, COUNT> kDeclared;
    // Every group, in the order of the counters line.
    static const std::array<GroupInfo, 5> kGroups;

    void add(Id id, std::uint64_t amount = 1) {
        values[id].fetch_add(amount, std::memory_order_relaxed);
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
    std::array<std::atomic<std::uint64_t>, COUNT> values{};
};

}  // namespace server
}  // namespace tarn
