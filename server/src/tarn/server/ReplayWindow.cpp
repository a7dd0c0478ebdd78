#include "tarn/server/ReplayWindow.h"

namespace tarn {
namespace server {

ReplayWindow::Verdict ReplayWindow::admit(const FleetSeal::Hop& sender, std::uint64_t sequence,
                                          std::int64_t nowMs) {
    const std::uint64_t key = static_cast<std::uint64_t>(sender.address) << 16 | sender.port;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = senders.find(key);
    if (found != senders.end() && nowMs - found->second.lastMs > kForget.count()) {
        senders.erase(found);
        found = senders.end();
    }
    if (found == senders.end()) {
        if (senders.size() >= kMaxSenders) {
            forgetSilentLocked(nowMs);
            if (senders.size() >= kMaxSenders) {
                return Verdict::FULL;
            }
        }
        Seen& seen = senders[key];
        seen.highest = sequence;
        seen.came.set(0);
        seen.lastMs = nowMs;
        return Verdict::FIRST;
    }
    Seen& seen = found->second;
    if (sequence > seen.highest) {
        const std::uint64_t ahead = sequence - seen.highest;
        if (ahead >= kWidth) {
            seen.came.reset();
        } else {
            seen.came <<= static_cast<std::size_t>(ahead);
        }
        seen.highest = sequence;
        seen.came.set(0);
    } else {
        const std::uint64_t behind = seen.highest - sequence;
        if (behind >= kWidth) {
            return Verdict::TOO_OLD;
        }
        if (seen.came.test(static_cast<std::size_t>(behind))) {
            return Verdict::REPLAYED;
        }
        seen.came.set(static_cast<std::size_t>(behind));
    }
    seen.lastMs = nowMs;
    return Verdict::FIRST;
}

std::size_t ReplayWindow::size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return senders.size();
}

void ReplayWindow::forgetSilentLocked(std::int64_t nowMs) {
    for (auto it = senders.begin(); it != senders.end();) {
        it = nowMs - it->second.lastMs > kForget.count() ? senders.erase(it) : std::next(it);
    }
}

}  // namespace server
}  // namespace tarn
