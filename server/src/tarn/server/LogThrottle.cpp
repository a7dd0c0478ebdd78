#include "tarn/server/LogThrottle.h"

namespace tarn {
namespace server {

LogThrottle::LogThrottle(unsigned linesPerSecond) : linesPerSecond_(linesPerSecond) {}

bool LogThrottle::allow(Clock::time_point now) {
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        linesInWindow_ = 0;
    }
    if (linesInWindow_ >= linesPerSecond_) {
        ++suppressed_;
        return false;
    }
    ++linesInWindow_;
    return true;
}

std::uint64_t LogThrottle::takeSuppressed() {
    const std::uint64_t count = suppressed_;
    suppressed_ = 0;
    return count;
}

}  // namespace server
}  // namespace tarn
