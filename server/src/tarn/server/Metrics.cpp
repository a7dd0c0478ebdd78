#include "tarn/server/Metrics.h"

#include <cstdio>
#include <sstream>

namespace tarn {
namespace server {

namespace {

const char* const kPrefix = "tarn_rendezvous_";

// One metric family: its HELP and TYPE lines.
void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << kPrefix << name << ' ' << help << '\n'
        << "# TYPE " << kPrefix << name << ' ' << type << '\n';
}

// The family of one group of Counters: one sample, or one per counter labelled with its name.
void counters(std::ostringstream& out, const Counters::GroupInfo& group, const Counters::Values& values) {
    family(out, group.family, "counter", Counters::help(group).c_str());
    for (std::size_t i = 0; i < Counters::COUNT; ++i) {
        if (Counters::kDeclared[i].group != group.group) {
            continue;
        }
        out << kPrefix << group.family;
        if (group.label != nullptr) {
            out << '{' << group.label << "=\"" << Counters::kDeclared[i].name << "\"}";
        }
        out << ' ' << values[i] << '\n';
    }
}

}  // namespace

const char* const Metrics::kContentType = "text/plain; version=0.0.4; charset=utf-8";

Metrics::Snapshot Metrics::of(const Server& server) {
    Snapshot snapshot;
    snapshot.counters = server.counters();
    snapshot.uptimeSeconds = server.uptimeSeconds();
    snapshot.tables = server.tables();
    snapshot.workers = server.workerCount();
    if (server.store() != nullptr) {
        snapshot.store = server.store()->stats();
    }
    return snapshot;
}

std::string Metrics::toPrometheus(const Snapshot& snapshot) {
    const Counters::Values& values = snapshot.counters;
    std::ostringstream out;
    for (const auto& group : Counters::kGroups) {
        if (!group.storeOnly) {
            counters(out, group, values);
        }
    }

    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%.3f", snapshot.uptimeSeconds);
    family(out, "uptime_seconds", "gauge", "Seconds since the server started serving.");
    out << kPrefix << "uptime_seconds " << uptime << '\n';
    family(out, "table_entries", "gauge",
           "Entries in use in a bounded table: allow (relay targets), bindRate and relayRate (sources "
           "tracked by the rate limits), with a shared store fleetRate (fleet servers' forwards), "
           "storeWriteRate (/24 blocks writing records) and fleetReplay (fleet endpoints whose forwards' "
           "numbers are kept).");
    for (const auto& table : snapshot.tables) {
        out << kPrefix << "table_entries{table=\"" << table.name << "\"} " << table.entries << '\n';
    }
    family(out, "table_capacity", "gauge",
           "Entries a bounded table holds before it forgets the least recently seen (fleetReplay refuses "
           "forwards from more senders instead); 0 for a rate limit that is off.");
    for (const auto& table : snapshot.tables) {
        out << kPrefix << "table_capacity{table=\"" << table.name << "\"} " << table.capacity << '\n';
    }
    family(out, "workers", "gauge", "Worker threads serving the endpoints.");
    out << kPrefix << "workers " << snapshot.workers << '\n';
    if (!snapshot.store) {
        return out.str();
    }
    const SharedStore::Stats& store = *snapshot.store;
    family(out, "store_connected", "gauge", "1 while the shared store answers, else 0.");
    out << kPrefix << "store_connected " << (store.connected ? 1 : 0) << '\n';
    family(out, "store_connects_total", "counter", "Connections made to the shared store.");
    out << kPrefix << "store_connects_total " << store.connects << '\n';
    family(out, "store_switches_total", "counter",
           "Connections to a master of the shared store at another address than the one before, as its "
           "sentinels named it (redis+sentinel:// only).");
    out << kPrefix << "store_switches_total " << store.switches << '\n';
    family(out, "store_rewrites_total", "counter",
           "Allow-list records written again to a master that took over, with the expiry they had.");
    out << kPrefix << "store_rewrites_total " << store.rewritten << '\n';
    if (!store.master.empty()) {
        family(out, "store_master_info", "gauge",
               "The shared store's master as its sentinels named it last.");
        out << kPrefix << "store_master_info{address=\"" << store.master << "\"} 1\n";
    }
    family(out, "store_errors_total", "counter",
           "Failed connection attempts, lost connections and error replies of the shared store.");
    out << kPrefix << "store_errors_total " << store.errors << '\n';
    family(out, "store_writes_total", "counter",
           "Allow-list records for the shared store: written, dropped (store unreachable or queue full; "
           "written at the endpoint's next request), or overBudget (not written: its /24 was over "
           "--store-write-rate).");
    out << kPrefix << "store_writes_total{result=\"written\"} " << store.written << '\n'
        << kPrefix << "store_writes_total{result=\"dropped\"} " << store.writesDropped << '\n'
        << kPrefix << "store_writes_total{result=\"overBudget\"} " << store.writesOverBudget << '\n';
    family(out, "store_lookups_expired_total", "counter",
           "Look-ups not sent to the shared store because their ping had stopped waiting while they queued.");
    out << kPrefix << "store_lookups_expired_total " << store.lookupsExpired << '\n';
    family(out, "store_forged_members", "gauge",
           "Entries of the fleet's member set without a valid seal (or too old) at the last check.");
    out << kPrefix << "store_forged_members " << store.forgedMembers << '\n';
    for (const auto& group : Counters::kGroups) {
        if (group.storeOnly) {
            counters(out, group, values);
        }
    }
    return out.str();
}

}  // namespace server
}  // namespace tarn
