#include "tarn/client/impl/util/SteadyClock.h"

#include <algorithm>

namespace tarn::client::impl::util {

SteadyClock& SteadyClock::instance() {
    static SteadyClock clock;
    return clock;
}

Clock::TimePoint SteadyClock::now() const {
    return std::chrono::steady_clock::now();
}

Clock::Duration SteadyClock::beginWait(const void* /*waiter*/, std::condition_variable_any* /*wake*/,
                                       TimePoint deadline) {
    return std::max(deadline - now(), Duration::zero());
}

void SteadyClock::endWait(const void* /*waiter*/) {}

}  // namespace tarn::client::impl::util
