#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "tarn/server/LookupQueue.h"

namespace tarn {
namespace server {

// The allow-list records this server wrote to the store and that have not expired yet, so that
// it can write them again to a master that took over: replication is asynchronous, and what was
// written just before a failover may be missing there. Owned by the store's thread alone.
class OwnedRecords {
public:
    using Clock = std::chrono::steady_clock;

    // Holds at most capacity records (the allow-list's size); a record beyond them when none has
    // expired is not kept, and is written again only at its endpoint's next binding request.
    explicit OwnedRecords(std::size_t capacity) : capacity(capacity) {}

    // The store took write at now; it lasts until expiresAt.
    void wrote(const LookupQueue::Write& write, Clock::time_point expiresAt, Clock::time_point now);
    // The records that have not expired by now, each with its expiry, to write again; forgets
    // the expired ones.
    std::vector<LookupQueue::Write> live(Clock::time_point now);
    std::size_t size() const { return records.size(); }

private:
    struct Record {
        LookupQueue::Key server;
        Clock::time_point expiresAt;
    };
    void forgetExpired(Clock::time_point now);

    static constexpr std::chrono::seconds kSweepInterval{1};

    std::size_t capacity;
    Clock::time_point sweptAt{};
    std::unordered_map<LookupQueue::Key, Record> records;
};

}  // namespace server
}  // namespace tarn
