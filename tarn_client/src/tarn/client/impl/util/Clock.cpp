#include "tarn/client/impl/util/Clock.h"

#include <mutex>

namespace tarn::client::impl::util {

Clock::~Clock() = default;

void Clock::sleepUntil(TimePoint deadline) {
    // A condition variable no one signals: only the clock's deadline, or a manual clock's step,
    // ends each real block.
    std::condition_variable_any never;
    std::mutex mutex;
    std::unique_lock<std::mutex> lock(mutex);
    waitUntil(never, lock, deadline, [] { return false; });
}

}  // namespace tarn::client::impl::util
