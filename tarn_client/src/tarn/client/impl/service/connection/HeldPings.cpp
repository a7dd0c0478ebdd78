#include "tarn/client/impl/service/connection/HeldPings.h"

#include "tarn/client/impl/Log.h"

namespace tarn::client::impl::service::connection {

HeldPings::HeldPings(bool holding) : holding(holding) {}

bool HeldPings::hold(const util::ReceivedMessage& message, const std::string& logName) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!holding) {
        return false;
    }
    if (held.size() < kMaxHeld) {
        held.push_back(message);
        Log::debug(logName, "process004", "Holding relayed ping from %1% until the direct pings are sent",
                   message.remoteEndpoint);
    } else {
        Log::debug(logName, "process005", "Dropping relayed ping from %1%: %2% are held already",
                   message.remoteEndpoint, held.size());
    }
    return true;
}

std::deque<util::ReceivedMessage> HeldPings::release() {
    std::lock_guard<std::mutex> lock(mutex);
    holding = false;
    std::deque<util::ReceivedMessage> released;
    released.swap(held);
    return released;
}

}  // namespace tarn::client::impl::service::connection
