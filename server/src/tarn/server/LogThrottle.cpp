#include "tarn/server/LogThrottle.h"

namespace tarn {
namespace server {

LogThrottle::LogThrottle(unsigned linesPerSecond) : linesPerSecond(linesPerSecond) {}

bool LogThrottle::allow(Clock::time_point now) {
    if (now - windowStart >= std::chrono::seconds(1)) {
        windowStart = now;
        linesInWindow = 0;
    }
    if (linesInWindow >= linesPerSecond) {
        ++suppressed;
        return false;
    }
    ++linesInWindow;
    return true;
}

std::uint64_t LogThrottle::takeSuppressed() {
    const std::uint64_t count = suppressed;
    suppressed = 0;
    return count;
}

}  // namespace server
}  // namespace tarn
