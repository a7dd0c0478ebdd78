#include "tarn/client/impl/util/ManualClock.h"

#include <algorithm>
#include <exception>
#include <thread>

namespace tarn::client::impl::util {

ManualClock::ManualClock() : current(TimePoint(std::chrono::hours(1))) {}

Clock::TimePoint ManualClock::now() const {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

Clock::Duration ManualClock::beginWait(const void* waiter, std::condition_variable_any* wake,
                                       TimePoint deadline) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (current >= deadline) {
            return Duration::zero();
        }
        blocked.push_back({waiter, wake, deadline});
    }
    changed.notify_all();
    return kRealStep;
}

void ManualClock::endWait(const void* waiter) {
    std::lock_guard<std::mutex> lock(mutex);
    // Gone already when an advance ended it.
    blocked.erase(std::remove_if(blocked.begin(), blocked.end(),
                                 [waiter](const Blocked& wait) { return wait.waiter == waiter; }),
                  blocked.end());
}

void ManualClock::advance(Duration by) {
    std::lock_guard<std::mutex> lock(mutex);
    advanceLocked(by);
}

bool ManualClock::awaitWaits(std::size_t count, std::chrono::milliseconds realBound) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, realBound, [&] { return blocked.size() >= count; });
}

void ManualClock::runStepping(const std::function<void()>& work) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = false;
    }
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Each turn ends one blocked wait, and work's waits are bounded: the loop ends with work.
        for (;;) {
            changed.wait(lock, [this] { return finished || !blocked.empty(); });
            if (finished) {
                break;
            }
            const auto earliest =
                std::min_element(blocked.begin(), blocked.end(),
                                 [](const Blocked& a, const Blocked& b) { return a.deadline < b.deadline; });
            advanceLocked(earliest->deadline - current);
        }
    }
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void ManualClock::advanceLocked(Duration by) {
    current += std::max(by, Duration::zero());
    // A blocked wait's condition variable outlives its registration, which endWait removes
    // under this lock, so each one notified here is still alive.
    for (const Blocked& wait : blocked) {
        if (wait.wake != nullptr) {
            wait.wake->notify_all();
        }
    }
    blocked.clear();
}

}  // namespace tarn::client::impl::util
