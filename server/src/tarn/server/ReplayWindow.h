#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "tarn/server/FleetSeal.h"

namespace tarn {
namespace server {

// The numbers of the sealed forwards each server endpoint of the fleet sent here lately, so that
// each is taken once: a forward captured on the wire and sent again, even from the sender's own
// address and port and within the seal's age, is refused. Per sender it keeps the highest number
// seen and which of the kWidth numbers below it have come. Shared by all workers.
class ReplayWindow {
public:
    // Numbers below a sender's highest that may still come once: the sender numbers its forwards
    // to every server from one counter, over all its workers, so one forward may overtake another
    // by that many (a fifth of a second at the fleet's default 20 000 forwards a second).
    static constexpr std::size_t kWidth = 4096;
    // Sender endpoints held at once (512 bytes each): four per server of a fleet of 256. A forward
    // from one more while all are live is refused (fails closed), and logged.
    static constexpr std::size_t kMaxSenders = 1024;
    // A sender silent this long is forgotten: every forward it sealed before is stale by then
    // (made at most kForwardMaxAge before or after our clock, refused kForwardMaxAge after that).
    static constexpr std::chrono::milliseconds kForget = 2 * FleetSeal::kForwardMaxAge;

    enum class Verdict { FIRST, REPLAYED, TOO_OLD, FULL };

    // Takes forward number sequence of sender at nowMs (the wall clock, as the seal's age): FIRST
    // the first time, REPLAYED again, TOO_OLD below the window (a replay, or a sender started again
    // with its clock set back, which is taken again once it has been silent for kForget), FULL
    // when a new sender finds no room.
    Verdict admit(const FleetSeal::Hop& sender, std::uint64_t sequence, std::int64_t nowMs);
    // Senders held now.
    std::size_t size() const;

private:
    struct Seen {
        std::uint64_t highest = 0;
        // Bit i: number highest - i has come.
        std::bitset<kWidth> came;
        std::int64_t lastMs = 0;
    };
    // Drops the senders silent for kForget; the lock held.
    void forgetSilentLocked(std::int64_t nowMs);

    mutable std::mutex mutex;  // guards senders
    std::unordered_map<std::uint64_t, Seen> senders;
};

}  // namespace server
}  // namespace tarn
