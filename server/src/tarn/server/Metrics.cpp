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

// Labelled samples of the counters [first, end), the label value being the counter's name.
void samples(std::ostringstream& out, const char* name, const char* label, const Counters::Values& values,
             Counters::Id first, Counters::Id end) {
    for (std::size_t i = first; i < end; ++i) {
        out << kPrefix << name << '{' << label << "=\"" << Counters::name(static_cast<Counters::Id>(i))
            << "\"} " << values[i] << '\n';
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
    family(out, "received_datagrams_total", "counter", "Datagrams received on the four endpoints.");
    out << kPrefix << "received_datagrams_total " << values[Counters::kReceived] << '\n';
    family(out, "requests_total", "counter",
           "Decoded requests by type: bind (BIND_REQ), bindChange (with a change request), relay "
           "(PING_RELAY), other.");
    samples(out, "requests_total", "type", values, Counters::kBindRequests, Counters::kBindResponses);
    family(out, "sent_messages_total", "counter",
           "Messages sent: bindResponses (BIND_RESP) and relayedPings (PING_DIRECT).");
    samples(out, "sent_messages_total", "message", values, Counters::kBindResponses,
            Counters::kDropOversized);
    family(out, "dropped_total", "counter",
           "Datagrams dropped by reason; targetUnknown and targetForbidden count refused relay targets.");
    samples(out, "dropped_total", "reason", values, Counters::kDropOversized, Counters::kStoreHit);

    char uptime[32];
    std::snprintf(uptime, sizeof uptime, "%.3f", snapshot.uptimeSeconds);
    family(out, "uptime_seconds", "gauge", "Seconds since the server started serving.");
    out << kPrefix << "uptime_seconds " << uptime << '\n';
    family(out, "table_entries", "gauge",
           "Entries in use in a bounded table: allow (relay targets), bindRate and relayRate (sources "
           "tracked by the rate limits).");
    for (const auto& table : snapshot.tables) {
        out << kPrefix << "table_entries{table=\"" << table.name << "\"} " << table.entries << '\n';
    }
    family(out, "table_capacity", "gauge",
           "Entries a bounded table holds before it forgets the least recently seen; 0 for a rate limit "
           "that is off.");
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
    family(out, "store_errors_total", "counter",
           "Failed connection attempts, lost connections and error replies of the shared store.");
    out << kPrefix << "store_errors_total " << store.errors << '\n';
    family(out, "store_writes_total", "counter",
           "Allow-list records for the shared store: written, or dropped (store unreachable or queue full).");
    out << kPrefix << "store_writes_total{result=\"written\"} " << store.written << '\n'
        << kPrefix << "store_writes_total{result=\"dropped\"} " << store.writesDropped << '\n';
    family(out, "store_lookups_total", "counter",
           "Relay targets looked up in the shared store by outcome: hit, miss, timeout (no answer in the "
           "wait), unavailable (not asked: store unreachable or too many waiting).");
    samples(out, "store_lookups_total", "result", values, Counters::kStoreHit, Counters::kCount);
    return out.str();
}

}  // namespace server
}  // namespace tarn
