#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tarn/server/Counters.h"
#include "tarn/server/Server.h"

namespace tarn {
namespace server {

// The server's state in the Prometheus text exposition format (version 0.0.4), as served at
// /metrics: every counter of Counters (requests by type, sent messages, drops by reason), the
// uptime, the fill of the bounded tables, the number of workers and, with a shared store, its
// connection, writes, look-ups and errors.
class Metrics {
public:
    struct Snapshot {
        Counters::Values counters{};
        double uptimeSeconds = 0;
        std::vector<Server::TableFill> tables;
        std::size_t workers = 0;
        // The shared store's own counts, when one is configured.
        std::optional<SharedStore::Stats> store;
    };

    static Snapshot of(const Server& server);
    static std::string toPrometheus(const Snapshot& snapshot);
    // The content type of that text.
    static const char* const kContentType;
};

}  // namespace server
}  // namespace tarn
