#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarn {
namespace server {

// Everything an operator can set, with the defaults the server runs with out of the box.
struct ServerConfig {
    // The bounds validate() enforces; the command line checks the same ones as it reads the options.
    static constexpr unsigned kThreadsMax = 256;
    static constexpr unsigned kBatchMin = 1;
    static constexpr unsigned kBatchMax = 1024;
    static constexpr unsigned kTargetsMin = 1;
    static constexpr unsigned kTargetsMax = 1024;
    static constexpr unsigned kReflectedMax = 1024;
    static constexpr std::size_t kTableMin = 1;

    // The four endpoints are addr1:port1, addr1:port2, addr2:port1, addr2:port2. Port 0 lets the
    // system pick a port that is free on both addresses.
    std::string addr1 = "127.0.0.1";
    std::string addr2 = "127.0.0.2";
    std::uint16_t port1 = 13434;
    std::uint16_t port2 = 13435;

    // Worker threads, each with its own four sockets; 0 means one per processor.
    unsigned threads = 0;
    // Datagrams read or written per system call.
    unsigned batch = 64;
    // Requested receive and send buffer of each socket in bytes; 0 keeps the system default.
    unsigned socketBuffer = 4 * 1024 * 1024;

    // How long a binding request's source stays a permitted relay target, and how many are kept.
    unsigned allowWindowSeconds = 600;
    std::size_t allowTableSize = 262144;

    // A relay request with more targets or reflected addresses than this is refused whole.
    unsigned maxTargets = 32;
    unsigned maxReflected = 64;

    // Token buckets per source address: requests per second and burst; a rate of 0 turns the limit off.
    double bindRate = 1000;
    double bindBurst = 2000;
    double relayRate = 100;
    double relayBurst = 200;
    std::size_t rateTableSize = 65536;

    // Counters are printed every statsInterval seconds (0: only at exit), as JSON lines if statsJson.
    unsigned statsIntervalSeconds = 60;
    bool statsJson = false;
    // Serves the counters at http://metricsAddress:metricsPort/metrics when metrics is set.
    bool metrics = false;
    std::string metricsAddress;
    std::uint16_t metricsPort = 0;
    // Lifts the limit on lines about dropped datagrams from 2 to 1000 a second per worker.
    bool verbose = false;

    // The allow-list shared with other servers through a Redis store, when sharedStore is set
    // (from "redis://[:PASSWORD@]HOST:PORT[/DB]", or with its sentinels from
    // "redis+sentinel://[:PASSWORD@]HOST:PORT[,HOST:PORT...]/MASTER[/DB]"); sharedStore keeps the
    // text as given, the password masked, for messages. storeHost is empty with sentinels.
    std::string sharedStore;
    std::string storeHost;
    std::vector<std::pair<std::string, std::uint16_t>> storeSentinels;
    std::string storeMaster;
    // Sent to each sentinel when not empty (--shared-store-sentinel-password-file).
    std::string sentinelPassword;
    std::uint16_t storePort = 6379;
    unsigned storeDb = 0;
    std::string storePassword;
    // The fleet's secret (--fleet-secret-file), which seals records and forwards; a shared store
    // needs one.
    std::string fleetSecret;
    // The bucket of each fleet server's address for sealed forwards, which its players' relays
    // share; far above a player's, under what a flood of forwards could cost.
    double fleetRate = 20000;
    double fleetBurst = 40000;
    // Records written to the shared store per second by the sources of one /24 address block, and
    // at once; 0 turns the budget off. A flood of new sources from one block then cannot crowd
    // everyone else's records out of the store's write queue.
    double storeWriteRate = 1000;
    double storeWriteBurst = 5000;
    // How long a relay request whose target only the store may know waits for its answer.
    unsigned storeWaitMs = 5;
    static constexpr unsigned kStoreWaitMaxMs = 1000;

    // The first problem with the values, or an empty text when they can be used.
    std::string validate() const;
    // Reads "ADDR:PORT" ("[ADDR]:PORT" for IPv6) into the metrics fields and sets metrics; the
    // problem with the text otherwise.
    std::string setMetrics(const std::string& text);
    // Reads "redis://[:PASSWORD@]HOST:PORT[/DB]" (HOST a name, an IPv4 address or [IPv6]) or
    // "redis+sentinel://[:PASSWORD@]HOST:PORT[,HOST:PORT...]/MASTER[/DB]" into the store fields;
    // the problem with the text otherwise.
    std::string setSharedStore(const std::string& text);
};

}  // namespace server
}  // namespace tarn
