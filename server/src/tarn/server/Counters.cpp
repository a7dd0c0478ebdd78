#include "tarn/server/Counters.h"

#include <cstdio>
#include <sstream>

namespace tarn {
namespace server {

namespace {

struct Group {
    const char* name;
    Counters::Id first;
    Counters::Id end;
};

const Group kGroups[] = {
    {"requests", Counters::kBindRequests, Counters::kBindResponses},
    {"sent", Counters::kBindResponses, Counters::kDropOversized},
    {"dropped", Counters::kDropOversized, Counters::kStoreHit},
    {"store", Counters::kStoreHit, Counters::kCount},
};

const char* const kNames[Counters::kCount] = {
    "received",
    "bind",
    "bindChange",
    "relay",
    "other",
    "bindResponses",
    "relayedPings",
    "forwardedRelays",
    "oversized",
    "undecodable",
    "otherType",
    "bindRateLimited",
    "relayRateLimited",
    "relayOverCap",
    "relayIncomplete",
    "targetUnknown",
    "targetForbidden",
    "sourceForbidden",
    "sendFailed",
    "hit",
    "miss",
    "timeout",
    "unavailable",
};

}  // namespace

void Counters::addTo(Values& totals) const {
    for (std::size_t i = 0; i < kCount; ++i) {
        totals[i] += values_[i].load(std::memory_order_relaxed);
    }
}

const char* Counters::name(Id id) {
    return id < kCount ? kNames[id] : "?";
}

std::string Counters::toText(const Values& values) {
    std::ostringstream out;
    out << name(kReceived) << '=' << values[kReceived];
    for (const auto& group : kGroups) {
        out << (group.first == kBindRequests ? " " : " | ") << group.name << ':';
        for (std::size_t i = group.first; i < group.end; ++i) {
            out << ' ' << kNames[i] << '=' << values[i];
        }
    }
    return out.str();
}

std::string Counters::toJson(const Values& values, double uptimeSeconds) {
    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%.3f", uptimeSeconds);
    std::ostringstream out;
    out << "{\"uptimeSeconds\":" << uptime << ",\"" << name(kReceived) << "\":" << values[kReceived];
    for (const auto& group : kGroups) {
        out << ",\"" << group.name << "\":{";
        for (std::size_t i = group.first; i < group.end; ++i) {
            out << (i == group.first ? "\"" : ",\"") << kNames[i] << "\":" << values[i];
        }
        out << '}';
    }
    out << '}';
    return out.str();
}

}  // namespace server
}  // namespace tarn
