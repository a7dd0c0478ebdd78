#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "tarn/client/impl/util/ReceivedMessage.h"

namespace tarn::client::impl::service::connection {

// Relayed pings that wait for their answer behind a symmetric NAT.
//
// The rule: such a NAT gives its next public port to whatever we send to a new endpoint first.
// The pass predicts the ports that follow the latest one it measured and means them for its own
// direct pings, so answers to relayed pings (each to a new endpoint) wait until the pass has
// measured that port and sent a round's direct pings. Then they are answered, and from then on
// relayed pings are answered at once. A pass that runs no symmetric round answers them at once.
class HeldPings {
public:
    // Relayed pings beyond this many are dropped while holding.
    static constexpr std::size_t kMaxHeld = 64;

    // Holding starts on only behind a symmetric NAT.
    explicit HeldPings(bool holding);

    // Keeps the message while holding (logged under logName) and returns true; false when it is
    // to be answered now.
    bool hold(const util::ReceivedMessage& message, const std::string& logName);
    // Ends the holding for good and hands over what was held, in arrival order.
    std::deque<util::ReceivedMessage> release();

private:
    // Guards holding and held: the listener holds, the pass thread releases.
    std::mutex mutex;
    bool holding;
    std::deque<util::ReceivedMessage> held;
};

}  // namespace tarn::client::impl::service::connection
