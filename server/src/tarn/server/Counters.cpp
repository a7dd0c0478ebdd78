#include "tarn/server/Counters.h"

#include <cstdio>
#include <sstream>

namespace tarn {
namespace server {

const std::array<Counters::Declared, Counters::COUNT> Counters::kDeclared = {{
#define TARN_SERVER_COUNTER_ROW(id, name, group, help) {name, Group::group, help},
    TARN_SERVER_COUNTERS(TARN_SERVER_COUNTER_ROW)
#undef TARN_SERVER_COUNTER_ROW
}};

const std::array<Counters::GroupInfo, 5> Counters::kGroups = {{
    {Group::RECEIVED, nullptr, "received_datagrams_total", nullptr, nullptr, false},
    {Group::REQUESTS, "requests", "requests_total", "type", "Decoded requests by type", false},
    {Group::SENT, "sent", "sent_messages_total", "message", "Messages sent", false},
    {Group::DROPPED, "dropped", "dropped_total", "reason", "Datagrams dropped by reason", false},
    {Group::STORE, "store", "store_lookups_total", "result",
     "Relay targets looked up in the shared store by outcome (all but hit also count as targetUnknown)",
     true},
}};

void Counters::addTo(Values& totals) const {
    for (std::size_t i = 0; i < COUNT; ++i) {
        totals[i] += values[i].load(std::memory_order_relaxed);
    }
}

const char* Counters::name(Id id) {
    return id < COUNT ? kDeclared[id].name : "?";
}

std::string Counters::toText(const Values& values) {
    std::ostringstream out;
    for (const auto& group : kGroups) {
        if (group.name != nullptr) {
            out << (group.group == Group::REQUESTS ? " " : " | ") << group.name << ':';
        }
        for (std::size_t i = 0; i < COUNT; ++i) {
            if (kDeclared[i].group == group.group) {
                out << (group.name != nullptr ? " " : "") << kDeclared[i].name << '=' << values[i];
            }
        }
    }
    return out.str();
}

std::string Counters::toJson(const Values& values, double uptimeSeconds) {
    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%.3f", uptimeSeconds);
    std::ostringstream out;
    out << "{\"uptimeSeconds\":" << uptime;
    for (const auto& group : kGroups) {
        if (group.name != nullptr) {
            out << ",\"" << group.name << "\":{";
        }
        bool first = true;
        for (std::size_t i = 0; i < COUNT; ++i) {
            if (kDeclared[i].group == group.group) {
                out << (first && group.name != nullptr ? "\"" : ",\"") << kDeclared[i].name
                    << "\":" << values[i];
                first = false;
            }
        }
        if (group.name != nullptr) {
            out << '}';
        }
    }
    out << '}';
    return out.str();
}

std::string Counters::help(const GroupInfo& group) {
    std::string text = group.lead != nullptr ? std::string(group.lead) + ": " : std::string();
    bool first = true;
    for (const auto& declared : kDeclared) {
        if (declared.group != group.group) {
            continue;
        }
        if (group.lead == nullptr) {
            text += declared.help;
            continue;
        }
        text += (first ? "" : ", ") + std::string(declared.name) + " (" + declared.help + ")";
        first = false;
    }
    return group.lead != nullptr ? text + "." : text;
}

}  // namespace server
}  // namespace tarn
