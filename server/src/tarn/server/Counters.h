#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn {
namespace server {

// What the server did, counted by one worker without locks; the server adds the workers' counts up.
class Counters {
public:
    enum Id : std::size_t {
        kReceived,
        // Requests by type (decoded messages).
        kBindRequests,
        kBindChangeRequests,
        kRelayRequests,
        kOtherRequests,
        // Datagrams sent.
        kBindResponses,
        kRelayedPings,
        // Relay requests sent on to the server of the fleet their target bound at.
        kForwardedRelays,
        // Drops by reason; the per-target reasons count one per refused target.
        kDropOversized,
        kDropUndecodable,
        kDropOtherType,
        kDropBindRateLimited,
        kDropRelayRateLimited,
        kDropRelayOverCap,
        kDropRelayIncomplete,
        kDropTargetUnknown,
        kDropTargetForbidden,
        kDropSourceForbidden,
        kDropSendFailed,
        // Relay targets only the shared store could know, by its answer: known (the ping went
        // out), unknown, no answer in time, or not asked (store unreachable, too many waiting).
        // All but the first are also counted as targetUnknown.
        kStoreHit,
        kStoreMiss,
        kStoreTimeout,
        kStoreUnavailable,
        kCount
    };
    using Values = std::array<std::uint64_t, kCount>;

    void add(Id id, std::uint64_t amount = 1) { values_[id].fetch_add(amount, std::memory_order_relaxed); }
    // Adds this worker's counts into totals.
    void addTo(Values& totals) const;

    // The name of a counter as it appears in the text and JSON forms, e.g. "targetUnknown".
    static const char* name(Id id);
    // One line: "received=3 requests: bind=2 ... | sent: ... | dropped: ... | store: ...".
    static std::string toText(const Values& values);
    // One line of JSON:
    // {"uptimeSeconds":1.5,"received":3,"requests":{...},"sent":{...},"dropped":{...},"store":{...}}.
    static std::string toJson(const Values& values, double uptimeSeconds);

private:
    std::array<std::atomic<std::uint64_t>, kCount> values_{};
};

}  // namespace server
}  // namespace tarn
