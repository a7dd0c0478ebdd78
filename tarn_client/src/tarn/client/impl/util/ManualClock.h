#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "tarn/client/impl/util/Clock.h"

namespace tarn::client::impl::util {

// A clock for tests that moves only when told: a test steps it from one wait's deadline to the
// next instead of sleeping, so a round of seconds takes milliseconds and every resend falls on
// its exact clock time. Safe to read and step from any thread.
class ManualClock : public Clock {
public:
    // How long a wait on this clock blocks for real before it reads the clock again: advance
    // wakes a condition variable's wait at once, but not a socket's poll.
    static constexpr std::chrono::milliseconds kRealStep{1};

    // Starts an hour after the clock's epoch, so that times before the start are representable.
    ManualClock();

    TimePoint now() const override;
    // Registers the wait while deadline is ahead; advance ends it.
    Duration beginWait(const void* waiter, std::condition_variable_any* wake, TimePoint deadline) override;
    void endWait(const void* waiter) override;

    // Moves the time forward by `by` (not below zero) and wakes every wait blocked on this clock.
    void advance(Duration by);
    // Waits for real, at most realBound, until `count` waits are blocked on this clock at once:
    // the threads of a test are then inside their waits. False when they were not in time.
    bool awaitWaits(std::size_t count, std::chrono::milliseconds realBound);
    // Runs work on a thread of its own and, whenever one wait blocks on this clock, advances to
    // the earliest deadline of the waits blocked, until work returns; rethrows what work threw.
    // Exactly one thread of work may wait on this clock at a time, or a step could overtake the
    // other one's wait.
    void runStepping(const std::function<void()>& work);

private:
    void advanceLocked(Duration by);

    // A wait blocked since the last advance, with the deadline it waits for.
    struct Blocked {
        const void* waiter;
        std::condition_variable_any* wake;
        TimePoint deadline;
    };
    // Guards current, blocked and finished.
    mutable std::mutex mutex;
    // Signalled when a wait blocks and when runStepping's work returns.
    std::condition_variable changed;
    TimePoint current;
    std::vector<Blocked> blocked;
    bool finished = false;
};

}  // namespace tarn::client::impl::util
