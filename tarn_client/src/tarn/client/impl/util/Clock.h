#pragma once

#include <chrono>
#include <condition_variable>

namespace tarn::client::impl::util {

// The one source of time for the library's waits, resends, rounds and expiry: SteadyClock in
// production, ManualClock in tests, which step it instead of sleeping. A wait reads the clock,
// blocks for real for at most the step the clock allows, and reads it again, so a manual clock's
// deadlines hold while the kernel's waits (a socket's poll, a condition variable) still block for
// real. Safe to share between threads.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~Clock();

    virtual TimePoint now() const = 0;
    // Starts one real block of the wait of `waiter` (an address unique to the blocked thread) and
    // returns how long it may block before it reads the clock again: the time left for steady
    // time, one short step for a manual clock, whose advance also wakes `wake` (when set). Zero
    // once deadline has passed; any other result must be followed by endWait(waiter).
    virtual Duration beginWait(const void* waiter, std::condition_variable_any* wake, TimePoint deadline) = 0;
    virtual void endWait(const void* waiter) = 0;

    // Waits on `changed` (lock held, as for std::condition_variable_any) until ready() or this
    // clock reaches deadline; returns ready().
    template <typename Lock, typename Ready>
    bool waitUntil(std::condition_variable_any& changed, Lock& lock, TimePoint deadline, Ready ready);
    // Blocks the calling thread until this clock reaches deadline; no event ends it earlier.
    void sleepUntil(TimePoint deadline);
};

template <typename Lock, typename Ready>
bool Clock::waitUntil(std::condition_variable_any& changed, Lock& lock, TimePoint deadline, Ready ready) {
    while (!ready()) {
        const Duration step = beginWait(&lock, &changed, deadline);
        if (step <= Duration::zero()) {
            return ready();
        }
        changed.wait_for(lock, step);
        endWait(&lock);
    }
    return true;
}

}  // namespace tarn::client::impl::util
