#include "tarn/client/impl/service/connection/HeldPings.h"

#include <algorithm>
#include <iterator>

#include "tarn/client/impl/Log.h"

namespace tarn::client::impl::service::connection {

HeldPings::HeldPings(bool holding) : holding(holding) {}

bool HeldPings::hold(const util::ReceivedMessage& message, int index, long identifier, int schedulesBefore,
                     const std::string& logName) {
    bool kept = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!holding) {
            return false;
        }
        kept = held.size() < kMaxHeld;
        if (kept) {
            held.push_back({index, identifier, message, schedulesBefore});
        }
    }
    // Logged after the lock: a line may wait for the console, and the pass thread needs the lock.
    if (kept) {
        Log::debug(logName, "process004", "Holding relayed ping from %1% until the direct pings are sent",
                   message.remoteEndpoint);
    } else {
        Log::debug(logName, "process005", "Dropping relayed ping from %1%: %2% are held already",
                   message.remoteEndpoint, kMaxHeld);
    }
    return true;
}

std::vector<HeldPings::Held> HeldPings::takeAll() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Held> taken(held.begin(), held.end());
    held.clear();
    return taken;
}

std::vector<HeldPings::Held> HeldPings::release() {
    std::lock_guard<std::mutex> lock(mutex);
    holding = false;
    std::vector<Held> released(held.begin(), held.end());
    held.clear();
    return released;
}

}  // namespace tarn::client::impl::service::connection
