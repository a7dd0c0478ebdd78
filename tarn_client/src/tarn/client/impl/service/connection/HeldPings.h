#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tarn/client/impl/util/ReceivedMessage.h"

namespace tarn::client::impl::service::connection {

// Relayed pings that wait for their answer behind a symmetric NAT, handed from the listener to
// the pass thread; SymmetricAnswers owns them and the rule of when they are answered.
//
// Such a NAT gives its next public port to whatever we send to a new endpoint first, and every
// answer to a relayed ping goes to new endpoints: answered at once, they would take ports that no
// block expects.
class HeldPings {
public:
    // Relayed pings beyond this many are dropped while holding.
    static constexpr std::size_t kMaxHeld = 64;

    struct Held {
        // The sending peer's index in the peer list and its identifier.
        int index;
        long identifier;
        util::ReceivedMessage message;
        // How many block schedules had been announced when it came.
        int schedulesBefore;
    };

    // Holding starts on only behind a symmetric NAT.
    explicit HeldPings(bool holding);

    // Keeps the message while holding (logged under logName) and returns true; false when it is
    // to be answered now. schedulesBefore: see Held.
    bool hold(const util::ReceivedMessage& message, int index, long identifier, int schedulesBefore,
              const std::string& logName);
    // Takes out everything held so far, in arrival order; holding goes on.
    std::vector<Held> takeAll();
    // Ends the holding for good and hands over what was held, in arrival order.
    std::vector<Held> release();

private:
    // Guards holding and held: the listener holds, the pass thread takes and releases.
    std::mutex mutex;
    bool holding;
    std::deque<Held> held;
};

}  // namespace tarn::client::impl::service::connection
