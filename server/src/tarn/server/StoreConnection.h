#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct redisContext;
struct redisReply;

namespace tarn {
namespace server {

class Waker;

// One connection of the store's thread, to the Redis store or to one of its sentinels: it resolves
// the name, connects, authenticates (and at the store selects the database and, when it follows
// the sentinels, checks the instance is the master), and runs pipelined round trips, each bounded
// by its time-out and cut short by the stop waker. Owned and used by the store's thread alone.
class StoreConnection {
public:
    using Clock = std::chrono::steady_clock;

    // Resolving the store's name, connecting, and any one round trip as a whole may each take this
    // long before the store counts as lost; so long, at most, may stopping wait.
    static constexpr std::chrono::milliseconds kIoTimeout{1000};
    // Why a round trip ended when the stop waker cut it short; not worth a warning.
    static const char* const kStopping;

    struct Address {
        std::string host;
        std::uint16_t port = 6379;
        unsigned db = 0;
        // Sent with AUTH before anything else when not empty.
        std::string password;
        // The text the operator gave, for log lines.
        std::string text;
    };

    // What open() asks after AUTH: SELECT the database, with ROLE as well (a store found through
    // the sentinels must be the master), or nothing (a sentinel).
    enum class Kind { STORE, FOLLOWED_STORE, SENTINEL };

    // stopWaker, readable once the server stops, cuts waits short; it outlives this. Resolving,
    // connecting and each round trip may each take timeout.
    StoreConnection(Address address, const Waker& stopWaker, Kind kind = Kind::STORE,
                    std::chrono::milliseconds timeout = kIoTimeout);
    ~StoreConnection();
    StoreConnection(const StoreConnection&) = delete;
    StoreConnection& operator=(const StoreConnection&) = delete;

    const Address& address() const { return storeAddress; }
    // Points the next open() at another instance (the master the sentinels named).
    void retarget(const std::string& host, std::uint16_t port);
    bool isOpen() const { return redis != nullptr; }
    // Connects, authenticates and selects the database. The problem, or "" when it is open.
    std::string open();
    // Drops the connection; the store's name is resolved again at the next open().
    void close();
    // Queues one command (hiredis' printf-like format) for the next exchange().
    void append(const char* format, ...);
    // Sends what was appended and reads count replies into replies (the caller frees them), all
    // within the time-out. The problem, or "" when every reply came.
    std::string exchange(std::size_t count, std::vector<redisReply*>& replies);

private:
    // The store host's address: resolved at the first connection and after an outage, within
    // the time-out; the last one known (empty if none) when that fails.
    std::string resolve();

    Address storeAddress;
    const Waker& stopWaker;
    Kind kind;
    std::chrono::milliseconds timeout;
    redisContext* redis = nullptr;
    // The store host's resolved address, and whether to resolve it again (after an outage).
    struct Resolving;
    std::unique_ptr<Resolving> resolving;
    std::string resolved;
    bool resolveAgain = true;
};

}  // namespace server
}  // namespace tarn
