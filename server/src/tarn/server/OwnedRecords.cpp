#include "tarn/server/OwnedRecords.h"

namespace tarn {
namespace server {

void OwnedRecords::wrote(const LookupQueue::Write& write, Clock::time_point expiresAt,
                         Clock::time_point now) {
    const auto found = records.find(write.key);
    if (found != records.end()) {
        found->second = {write.server, expiresAt};
        return;
    }
    // A full map is swept at most once per kSweepInterval, so that a flood of new records does
    // not make every write a walk through all of them.
    if (records.size() >= capacity && now >= sweptAt + kSweepInterval) {
        forgetExpired(now);
    }
    if (records.size() < capacity) {
        records.emplace(write.key, Record{write.server, expiresAt});
    }
}

std::vector<LookupQueue::Write> OwnedRecords::live(Clock::time_point now) {
    forgetExpired(now);
    std::vector<LookupQueue::Write> writes;
    writes.reserve(records.size());
    for (const auto& [key, record] : records) {
        writes.push_back({key, record.server, record.expiresAt});
    }
    return writes;
}

void OwnedRecords::forgetExpired(Clock::time_point now) {
    sweptAt = now;
    for (auto record = records.begin(); record != records.end();) {
        record = record->second.expiresAt <= now ? records.erase(record) : std::next(record);
    }
}

}  // namespace server
}  // namespace tarn
