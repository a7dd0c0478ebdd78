#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tarn/server/AllowList.h"
#include "tarn/server/Counters.h"
#include "tarn/server/RateLimiter.h"
#include "tarn/server/RequestHandler.h"
#include "tarn/server/ServerConfig.h"
#include "tarn/server/SharedStore.h"
#include "tarn/server/StoreLink.h"
#include "tarn/server/Worker.h"

namespace tarn {
namespace server {

// The rendezvous server: binds the four endpoints for every worker at construction, serves them
// from start() until stop(), and adds up the workers' counters on request. With a shared store
// configured, it also runs the store's thread and gives each worker its link to it.
class Server {
public:
    using Endpoints = RequestHandler::Endpoints;

    // Binds every socket. Throws std::invalid_argument for a configuration that fails validate()
    // and std::runtime_error naming the endpoint when one cannot be bound.
    explicit Server(const ServerConfig& config);
    // Stops and joins the workers if they still run.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts serving; the endpoints are bound already, so requests sent before are answered now.
    void start();
    // Ends every worker and waits for them; the counters stay readable. Serving cannot resume.
    void stop();

    // The bound endpoints, S1 to S4 (ports chosen by the system when the configuration said 0).
    const Endpoints& endpoints() const { return boundEndpoints; }
    std::size_t workerCount() const { return workers.size(); }
    // The sum of all workers' counters at this moment.
    Counters::Values counters() const;
    double uptimeSeconds() const;
    // How full each bounded table is: the relay allow table and the rate-limit tables (with a
    // shared store also the fleet's and the store writes').
    struct TableFill {
        std::string name;
        std::size_t entries;
        std::size_t capacity;
    };
    std::vector<TableFill> tables() const;
    // Why the server cannot do all it is configured to do, or an empty text when it can.
    std::string notReadyReason() const;
    // The shared store, or null when none is configured.
    const SharedStore* store() const { return sharedStore.get(); }

private:
    // Binds every worker's four sockets and fills boundEndpoints; the result has one group per worker.
    std::vector<std::vector<DatagramSocket>> bindAll(const ServerConfig& config, std::size_t workerCount);

    Endpoints boundEndpoints;
    std::chrono::steady_clock::time_point started;
    // Shared by all workers, so they must outlive them: declared first, destroyed last.
    std::unique_ptr<AllowList> allowList;
    std::unique_ptr<RateLimiter> bindLimiter;
    std::unique_ptr<RateLimiter> relayLimiter;
    // With a shared store: the fleet's seal, the numbers of the forwards taken, the fleet's forwards'
    // bucket and the store-write budget.
    std::unique_ptr<FleetSeal> seal;
    std::unique_ptr<ReplayWindow> replays;
    std::unique_ptr<RateLimiter> fleetLimiter;
    std::unique_ptr<RateLimiter> storeWriteLimiter;
    std::unique_ptr<SharedStore> sharedStore;
    std::vector<std::unique_ptr<StoreLink>> storeLinks;
    std::vector<std::unique_ptr<Counters>> workerCounters;
    std::vector<std::unique_ptr<Worker>> workers;
};

}  // namespace server
}  // namespace tarn
