#pragma once

#include <chrono>
#include <cstdint>

namespace tarn {
namespace server {

// Limits the log lines of one kind that one worker writes (about dropped datagrams, about socket
// errors), so that a flood of bad input or a failing socket costs a few lines per second instead of
// the disk. Not thread-safe: one per worker and kind.
class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(unsigned linesPerSecond);

    // Whether a line may be written at now; counts the refused ones.
    bool allow(Clock::time_point now);
    // How many lines were refused since the last call, and resets that count.
    std::uint64_t takeSuppressed();

private:
    unsigned linesPerSecond;
    Clock::time_point windowStart{};
    unsigned linesInWindow = 0;
    std::uint64_t suppressed = 0;
};

}  // namespace server
}  // namespace tarn
