#include "tarn/server/LookupQueue.h"

#include <algorithm>

#include "tarn/server/StoreLink.h"

namespace tarn {
namespace server {

std::size_t LookupQueue::submit(std::vector<Write>& writes, std::vector<Lookup>& lookups) {
    bool wakeNow = !lookups.empty();
    std::size_t lookupsTaken = 0;
    std::size_t writesTaken = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The first write of a batch starts the thread's flush timer; later ones join it.
        wakeNow = wakeNow || (queuedWrites.empty() && !writes.empty());
        writesTaken =
            std::min(writes.size(), kMaxQueuedWrites - std::min(queuedWrites.size(), kMaxQueuedWrites));
        queuedWrites.insert(queuedWrites.end(), writes.begin(), writes.begin() + writesTaken);
        lookupsTaken = std::min(lookups.size(), maxLookups - std::min(queuedLookups.size(), maxLookups));
        queuedLookups.insert(queuedLookups.end(), lookups.begin(), lookups.begin() + lookupsTaken);
    }
    writes.erase(writes.begin(), writes.begin() + writesTaken);
    if (lookupsTaken < lookups.size()) {
        LinkAnswers::answerAll({lookups.begin() + lookupsTaken, lookups.end()}, StoreLink::Outcome::REFUSED);
    }
    lookups.clear();
    if (wakeNow) {
        wake.notify_one();
    }
    return writes.size();
}

bool LookupQueue::take(Clock::time_point until, Clock::time_point nextFlush, std::vector<Write>& writes,
                       std::vector<Lookup>& lookups) {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait_until(lock, queuedWrites.empty() ? until : std::min(until, nextFlush), [&] {
        return stopping || !queuedLookups.empty() || (!queuedWrites.empty() && Clock::now() >= nextFlush);
    });
    if (stopping) {
        return false;
    }
    lookups.swap(queuedLookups);
    if (!lookups.empty() || Clock::now() >= nextFlush) {
        writes.swap(queuedWrites);
    }
    return true;
}

void LookupQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
}

}  // namespace server
}  // namespace tarn
