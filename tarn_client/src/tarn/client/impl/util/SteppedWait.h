#pragma once

#include <chrono>

#include "tarn/client/impl/util/Clock.h"

namespace tarn::client::impl::util {

// A time-out split into equal steps, each of which the awaited event may cut short. A step counts
// whole once begun, so the wait is over when the steps begun add up to the time-out: a time-out
// of 501 ms in four parts takes five steps of 125 ms. Steps are at least 1 ms long, so tiny
// time-outs still end.
class SteppedWait {
public:
    // The wait starts at clock's now; its steps end on that clock's time.
    SteppedWait(const Clock& clock, std::chrono::milliseconds timeout, int parts);
    // Steps that start at firstStep and double, the last one cut at the time-out: 500 ms from
    // 10 ms ends its steps at 10, 30, 70, 150, 310 and 500 ms.
    static SteppedWait doubling(const Clock& clock, std::chrono::milliseconds timeout,
                                std::chrono::milliseconds firstStep);

    // Begins the next step and sets stepEnd to its end; false once the steps add up to the time-out.
    bool nextStep(Clock::TimePoint& stepEnd);
    // True once the steps begun add up to the time-out; at once for a time-out of 0 or less.
    bool timedOut() const;
    std::chrono::milliseconds getTimeout() const;

private:
    std::chrono::milliseconds timeout;
    std::chrono::milliseconds step;
    std::chrono::milliseconds elapsed{0};
    // Whether each step is twice the one before.
    bool doubles = false;
    // Step ends are counted from the start, so that time spent between steps is not added.
    Clock::TimePoint start;
};

}  // namespace tarn::client::impl::util
