#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/server/AllowList.h"
#include "tarn/server/FleetMembers.h"
#include "tarn/server/FleetSeal.h"
#include "tarn/server/LookupQueue.h"
#include "tarn/server/OwnedRecords.h"
#include "tarn/server/SentinelLocator.h"
#include "tarn/server/StoreConnection.h"
#include "tarn/server/Waker.h"

struct redisReply;

namespace tarn {
namespace server {

class StoreLink;

// The allow-list records that servers of a fleet share through a Redis store: one key per
// endpoint ("tarn:allow:ADDR:PORT") that expires a window after it was written and holds the
// server endpoint that received the binding request, the only one the endpoint's NAT may let a
// relayed ping in from, sealed with the fleet's secret (FleetSeal). Beside them, the fleet
// (FleetMembers): every server's addresses, each entry sealed and renewed each kCheck.
// One thread of its own talks to the store (StoreConnection), so that no worker ever waits for it:
// workers hand it writes and look-ups (LookupQueue), it sends them pipelined, and posts each
// look-up's answer back to the worker's link. It connects at start, and again by itself at most
// once per kCheck while the store is away. With sentinels it follows the master instead: it asks
// them for it (SentinelLocator), again at once when the master is lost or answers as a replica,
// then every sentinel::retryDelay(), and writes again what it owns to a master that took over.
class SharedStore {
public:
    using Clock = std::chrono::steady_clock;
    using Key = AllowList::Key;

    // Every interval the store's thread uses, with its reason.
    // Writes wait at most this long for others to share a round trip with (look-ups never wait).
    static constexpr std::chrono::milliseconds kFlushInterval{10};
    // A lost store is tried again this often (it serves again within this after it is back), and
    // a connected one is checked this often, renewing this server's place in the fleet.
    static constexpr std::chrono::milliseconds kCheck{1000};
    // Resolving, connecting and each round trip: see StoreConnection::kIoTimeout.
    static constexpr std::chrono::milliseconds kIoTimeout = StoreConnection::kIoTimeout;

    using Address = StoreConnection::Address;
    using Write = LookupQueue::Write;
    using Lookup = LookupQueue::Lookup;
    using Sentinels = SentinelLocator::Sentinels;
    // Records written again to a new master per round trip, beside the workers' own writes.
    static constexpr std::size_t kRewritesPerTrip = 4096;
    // What the store's thread counted; the look-ups' outcomes are counted by the workers.
    struct Stats {
        std::uint64_t written = 0;
        std::uint64_t writesDropped = 0;
        std::uint64_t writesOverBudget = 0;
        std::uint64_t lookups = 0;
        // Look-ups not asked because their ping's wait had ended while they queued.
        std::uint64_t lookupsExpired = 0;
        // Fleet entries in the store without a valid seal, at the last check.
        std::uint64_t forgedMembers = 0;
        std::uint64_t errors = 0;
        std::uint64_t connects = 0;
        // Connections to a master at another address than the one before (with sentinels).
        std::uint64_t switches = 0;
        // Records written again to a new master.
        std::uint64_t rewritten = 0;
        // The master's address as the sentinels named it last ("" without sentinels).
        std::string master;
        bool connected = false;
    };

    // Records expire window after they were written, sealed with seal; ownAddresses are this
    // server's, announced to the fleet. At most maxLookups look-ups queue (the workers' parked
    // pings together). With sentinels (addresses not empty) address holds no host: the master
    // is the one they name, and up to maxOwned records written are kept to write again to a new
    // one. Connects only in start().
    SharedStore(Address address, std::chrono::seconds window,
                std::vector<boost::asio::ip::address_v4> ownAddresses, const FleetSeal& seal,
                std::size_t maxLookups, const Sentinels& sentinels = {}, std::size_t maxOwned = 0);
    // Stops the thread if it still runs.
    ~SharedStore();
    SharedStore(const SharedStore&) = delete;
    SharedStore& operator=(const SharedStore&) = delete;

    // Starts the thread, which connects at once.
    void start();
    // Ends the thread and waits for it: a round trip under way is cut short; a connection attempt,
    // or the wait for a name look-up, under way ends within kIoTimeout. (A name look-up itself
    // runs on, bounded by the resolver's own time-outs, and is joined by the destructor.)
    void stop();

    // Takes the writes and look-ups out of the vectors for the next round trip; from any thread.
    // Look-ups wake the store's thread at once. Writes the queue has no room for stay in writes
    // (and are counted as dropped); look-ups beyond its room are answered Refused at once.
    void submit(std::vector<Write>& writes, std::vector<Lookup>& lookups);
    // Counts a record a worker did not write: its address block was over its write budget.
    void countWriteOverBudget() { writesOverBudget.fetch_add(1, std::memory_order_relaxed); }
    // Whether the store answered its last round trip; workers ask no look-up while it did not.
    bool connected() const { return connectedNow.load(std::memory_order_acquire); }
    // Grows by one at each new connection: a record written before may be gone from the store.
    std::uint64_t epoch() const { return currentEpoch.load(std::memory_order_acquire); }
    Stats stats() const;
    // The store as configured. With sentinels its host and port follow the master on the store's
    // thread: other threads read its text only.
    const Address& address() const { return connection.address(); }
    // Whether address belongs to a server of the fleet (this one included), as of the last check.
    bool isFleetServer(const boost::asio::ip::address_v4& address) const;
    // Why the store is not connected, for the readiness probe; empty while it is.
    std::string problem() const;

    // The store's key of an endpoint.
    static std::string keyText(Key key);

private:
    void run();
    // Connects (to the master the sentinels name, if any), authenticates and selects the
    // database; logs and counts a failure.
    bool connect();
    // When to try again after one more failure in a row.
    Clock::time_point retryAt();
    // Sends the writes and look-ups, and with check the fleet's renewal, in one pipeline and posts
    // the answers; false when the connection failed on the way (the look-ups left unanswered are
    // then refused).
    bool roundTrip(const std::vector<Write>& writes, const std::vector<Lookup>& lookups, bool check);
    // Drops the connection after an error, with one line saying why.
    void disconnect(const std::string& why);

    std::chrono::seconds window;
    const FleetSeal& seal;
    // Cuts a round trip short when stop() is called.
    Waker stopWaker;
    LookupQueue queue;
    FleetMembers fleet;
    // Owned by the thread alone: the connection, and with sentinels the locator, the records
    // written, those to write again to a new master and the failures in a row.
    StoreConnection connection;
    std::unique_ptr<SentinelLocator> locator;
    OwnedRecords owned;
    std::vector<Write> rewrites;
    unsigned failures = 0;
    // The next attempt to connect, or while connected the next check.
    Clock::time_point nextCheck{};
    mutable std::mutex problemMutex;  // guards lastProblem and master
    std::string lastProblem;
    std::string master;
    bool reportedDown = false;
    std::atomic<bool> connectedNow{false};
    std::atomic<std::uint64_t> currentEpoch{0};
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> writesDropped{0};
    std::atomic<std::uint64_t> writesOverBudget{0};
    std::atomic<std::uint64_t> lookupsAsked{0};
    std::atomic<std::uint64_t> lookupsExpired{0};
    std::atomic<std::uint64_t> errors{0};
    std::atomic<std::uint64_t> connects{0};
    std::atomic<std::uint64_t> switches{0};
    std::atomic<std::uint64_t> rewritten{0};
    std::thread thread;
};

}  // namespace server
}  // namespace tarn
