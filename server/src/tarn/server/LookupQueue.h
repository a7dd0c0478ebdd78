#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "tarn/server/AllowList.h"

namespace tarn {
namespace server {

class StoreLink;

// What the workers hand the store's thread: allow-list records to write and look-ups to ask, each
// queue bounded. Workers add from any thread; the store's thread alone takes them out.
class LookupQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Key = AllowList::Key;

    // Writes kept while they wait for their round trip; more are dropped (counted), not queued.
    static constexpr std::size_t kMaxQueuedWrites = 65536;

    // An endpoint's record: it bound at the server endpoint `server`. expiresAt, when set, is the
    // end of a record written before (written again after the store changed); else it lasts a window.
    struct Write {
        Key key;
        Key server;
        Clock::time_point expiresAt{};
    };
    // A question which server endpoint key bound at, answered to replyTo with ticket; not asked
    // any more once deadline, the end of its ping's wait, has passed.
    struct Lookup {
        Key key;
        std::uint64_t ticket;
        StoreLink* replyTo;
        Clock::time_point deadline;
    };

    // At most maxLookups look-ups queue (the workers' parked pings together).
    explicit LookupQueue(std::size_t maxLookups) : maxLookups(maxLookups) {}

    // Takes the writes and look-ups out of the vectors; from any thread. Look-ups wake the store's
    // thread at once, the first write of a batch starts its flush timer. Writes there is no room
    // for stay in writes; look-ups beyond the room are answered Refused at once. Returns how many
    // writes stayed.
    std::size_t submit(std::vector<Write>& writes, std::vector<Lookup>& lookups);
    // The store's thread: waits until a look-up is queued, writes have waited up to nextFlush, or
    // until `until`, then moves the look-ups (and the writes, when due) into the vectors. False
    // once stop() was called.
    bool take(Clock::time_point until, Clock::time_point nextFlush, std::vector<Write>& writes,
              std::vector<Lookup>& lookups);
    // Ends every wait in take(), now and later.
    void stop();

private:
    std::size_t maxLookups;
    std::mutex mutex;  // guards queuedWrites, queuedLookups and stopping
    std::condition_variable wake;
    std::vector<Write> queuedWrites;
    std::vector<Lookup> queuedLookups;
    bool stopping = false;
};

}  // namespace server
}  // namespace tarn
