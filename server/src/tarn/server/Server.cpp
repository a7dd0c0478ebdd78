#include "tarn/server/Server.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <boost/asio/ip/address_v4.hpp>

namespace tarn {
namespace server {

namespace {

// How often to try again when a port the system picked turns out to be taken on the other address.
constexpr int kPortAttempts = 32;
// Lines about dropped datagrams per worker and second: a trickle normally, many when asked to be verbose.
constexpr unsigned kDropLines = 2;
constexpr unsigned kVerboseDropLines = 1000;

std::string hintFor(const std::error_code& code) {
    if (code == std::errc::address_in_use) {
        return " (another program, perhaps another tarn-rendezvous, uses it)";
    }
    if (code == std::errc::address_not_available) {
        return " (the address does not belong to this host)";
    }
    if (code == std::errc::permission_denied) {
        return " (ports below 1024 need privileges)";
    }
    return {};
}

}  // namespace

Server::Server(const ServerConfig& config) : started(std::chrono::steady_clock::now()) {
    const std::string problem = config.validate();
    if (!problem.empty()) {
        throw std::invalid_argument(problem);
    }
    const std::size_t workerCount =
        config.threads > 0 ? config.threads : std::max(1u, std::thread::hardware_concurrency());
    allowList =
        std::make_unique<AllowList>(config.allowTableSize, std::chrono::seconds(config.allowWindowSeconds));
    bindLimiter = std::make_unique<RateLimiter>(config.bindRate, config.bindBurst, config.rateTableSize);
    relayLimiter = std::make_unique<RateLimiter>(config.relayRate, config.relayBurst, config.rateTableSize);

    if (!config.sharedStore.empty()) {
        seal = std::make_unique<FleetSeal>(config.fleetSecret);
        replays = std::make_unique<ReplayWindow>();
        fleetLimiter =
            std::make_unique<RateLimiter>(config.fleetRate, config.fleetBurst, config.rateTableSize);
        storeWriteLimiter = std::make_unique<RateLimiter>(config.storeWriteRate, config.storeWriteBurst,
                                                          config.rateTableSize);
        sharedStore = std::make_unique<SharedStore>(
            SharedStore::Address{config.storeHost, config.storePort, config.storeDb, config.storePassword,
                                 config.sharedStore},
            std::chrono::seconds(config.allowWindowSeconds),
            std::vector<boost::asio::ip::address_v4>{boost::asio::ip::make_address_v4(config.addr1),
                                                     boost::asio::ip::make_address_v4(config.addr2)},
            *seal, workerCount * StoreLink::kMaxParked,
            SharedStore::Sentinels{config.storeSentinels, config.storeMaster, config.sentinelPassword},
            config.allowTableSize);
    }

    auto groups = bindAll(config, workerCount);
    for (auto& group : groups) {
        StoreLink* link = nullptr;
        if (sharedStore) {
            storeLinks.push_back(std::make_unique<StoreLink>(*sharedStore, *allowList,
                                                             std::chrono::milliseconds(config.storeWaitMs)));
            link = storeLinks.back().get();
        }
        workerCounters.push_back(std::make_unique<Counters>());
        const RequestHandler::Shared shared{*allowList, *bindLimiter,       *relayLimiter,
                                            link,       fleetLimiter.get(), storeWriteLimiter.get(),
                                            seal.get(), replays.get()};
        RequestHandler handler(boundEndpoints, config.maxTargets, config.maxReflected, shared,
                               *workerCounters.back(), config.verbose ? kVerboseDropLines : kDropLines);
        workers.push_back(std::make_unique<Worker>(std::move(group), config.batch, std::move(handler),
                                                   *workerCounters.back(), link));
    }
}

Server::~Server() {
    stop();
}

void Server::start() {
    started = std::chrono::steady_clock::now();
    if (sharedStore) {
        sharedStore->start();
    }
    for (auto& worker : workers) {
        worker->start();
    }
}

void Server::stop() {
    for (auto& worker : workers) {
        worker->stop();
    }
    for (auto& worker : workers) {
        worker->join();
    }
    if (sharedStore) {
        sharedStore->stop();
    }
}

Counters::Values Server::counters() const {
    Counters::Values totals{};
    for (const auto& counters : workerCounters) {
        counters->addTo(totals);
    }
    return totals;
}

double Server::uptimeSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::vector<Server::TableFill> Server::tables() const {
    std::vector<TableFill> fills{{"allow", allowList->size(), allowList->capacity()},
                                 {"bindRate", bindLimiter->size(), bindLimiter->capacity()},
                                 {"relayRate", relayLimiter->size(), relayLimiter->capacity()}};
    if (sharedStore) {
        fills.push_back({"fleetRate", fleetLimiter->size(), fleetLimiter->capacity()});
        fills.push_back({"storeWriteRate", storeWriteLimiter->size(), storeWriteLimiter->capacity()});
        fills.push_back({"fleetReplay", replays->size(), ReplayWindow::kMaxSenders});
    }
    return fills;
}

std::string Server::notReadyReason() const {
    if (sharedStore && !sharedStore->connected()) {
        return sharedStore->problem();
    }
    return {};
}

std::vector<std::vector<DatagramSocket>> Server::bindAll(const ServerConfig& config,
                                                         std::size_t workerCount) {
    using Endpoint = DatagramSocket::Endpoint;
    const auto addr1 = boost::asio::ip::make_address_v4(config.addr1);
    const auto addr2 = boost::asio::ip::make_address_v4(config.addr2);
    // Several workers share each endpoint; the system spreads the senders over their sockets.
    const bool shared = workerCount > 1;

    for (int attempt = 1;; ++attempt) {
        bool onChosenPort = false;
        try {
            // Exclusive guard sockets pick and hold the ports first: they fail when anything at all
            // uses an endpoint, and a port the system picks for them is not shared with anybody.
            std::vector<DatagramSocket> guards;
            auto guard = [&](const Endpoint& endpoint, bool chosen) {
                onChosenPort = chosen;
                guards.emplace_back(endpoint, false, 0);
                return guards.back().localEndpoint().port();
            };
            const auto port1 = guard(Endpoint(addr1, config.port1), config.port1 == 0);
            guard(Endpoint(addr2, port1), config.port1 == 0);
            const auto port2 = guard(Endpoint(addr1, config.port2), config.port2 == 0);
            guard(Endpoint(addr2, port2), config.port2 == 0);
            guards.clear();
            boundEndpoints = {Endpoint(addr1, port1), Endpoint(addr1, port2), Endpoint(addr2, port1),
                              Endpoint(addr2, port2)};

            onChosenPort = config.port1 == 0 || config.port2 == 0;
            std::vector<std::vector<DatagramSocket>> groups(workerCount);
            for (auto& group : groups) {
                for (const auto& endpoint : boundEndpoints) {
                    group.emplace_back(endpoint, shared, config.socketBuffer);
                }
            }
            return groups;
        } catch (const std::system_error& error) {
            if (onChosenPort && error.code() == std::errc::address_in_use && attempt < kPortAttempts) {
                continue;
            }
            throw std::runtime_error(error.what() + hintFor(error.code()));
        }
    }
}

}  // namespace server
}  // namespace tarn
