#include "tarn/client/impl/util/SteppedWait.h"

#include <algorithm>

namespace tarn::client::impl::util {

SteppedWait::SteppedWait(std::chrono::milliseconds timeout, int parts)
    : timeout(timeout),
      step(std::max(timeout / std::max(parts, 1), std::chrono::milliseconds(1))),
      start(Clock::now()) {}

bool SteppedWait::nextStep(Clock::time_point& stepEnd) {
    if (timedOut()) {
        return false;
    }
    elapsed += step;
    stepEnd = start + elapsed;
    return true;
}

bool SteppedWait::timedOut() const {
    return elapsed >= timeout;
}

}  // namespace tarn::client::impl::util
