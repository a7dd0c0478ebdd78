#include "tarn/client/impl/util/SteppedWait.h"

#include <algorithm>

namespace tarn::client::impl::util {

SteppedWait::SteppedWait(const Clock& clock, std::chrono::milliseconds timeout, int parts)
    : timeout(timeout),
      step(std::max(timeout / std::max(parts, 1), std::chrono::milliseconds(1))),
      start(clock.now()) {}

SteppedWait SteppedWait::doubling(const Clock& clock, std::chrono::milliseconds timeout,
                                  std::chrono::milliseconds firstStep) {
    SteppedWait wait(clock, timeout, 1);
    wait.step = std::max(firstStep, std::chrono::milliseconds(1));
    wait.doubles = true;
    return wait;
}

bool SteppedWait::nextStep(Clock::TimePoint& stepEnd) {
    if (timedOut()) {
        return false;
    }
    elapsed += step;
    if (doubles) {
        elapsed = std::min(elapsed, timeout);
        step *= 2;
    }
    stepEnd = start + elapsed;
    return true;
}

bool SteppedWait::timedOut() const {
    return elapsed >= timeout;
}

std::chrono::milliseconds SteppedWait::getTimeout() const {
    return timeout;
}

}  // namespace tarn::client::impl::util
