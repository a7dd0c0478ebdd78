#pragma once

#include "tarn/client/impl/util/Clock.h"

namespace tarn::client::impl::util {

// The production clock: std::chrono::steady_clock, which no change of the wall clock moves.
// Stateless; one instance serves the whole process.
class SteadyClock : public Clock {
public:
    static SteadyClock& instance();

    TimePoint now() const override;
    // The whole time left: nothing but the deadline or the awaited event ends a steady wait, so
    // nothing is registered.
    Duration beginWait(const void* waiter, std::condition_variable_any* wake, TimePoint deadline) override;
    void endWait(const void* waiter) override;
};

}  // namespace tarn::client::impl::util
