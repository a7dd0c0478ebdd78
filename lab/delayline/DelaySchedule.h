#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>

namespace tarn::lab::delayline {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;

/// What the delay line does to each packet: how long it holds it, and how many it may hold.
struct DelayShape {
    Duration delay{0};       ///< one-way delay added to every packet
    Duration jitter{0};      ///< each packet's delay is drawn uniformly from delay +- jitter (never below 0)
    double lossPercent = 0;  ///< share of packets dropped at random on arrival, 0 to 100
    /// Share of packets taken out of order: held reorderGap longer than their draw, and later packets may
    /// overtake them. Every other packet leaves in the order it came in, even when jitter draws overlap.
    double reorderPercent = 0;
    Duration reorderGap{std::chrono::milliseconds(5)};
    /// The memory bound: a packet that would take the queue past either limit is dropped and counted.
    std::size_t maxPackets = 4096;
    std::size_t maxBytes = std::size_t{8} << 20;
};

/// What the schedule decided for one arriving packet.
struct Verdict {
    enum class Kind { QUEUE, LOST };
    Kind kind = Kind::QUEUE;
    Clock::time_point deadline;  ///< when it leaves; meaningful for QUEUE only
};

/// Decides when each packet leaves: a pure rule over the arrival time and its own random draws, so the
/// loop around it only reads, waits and writes. Not thread-safe; the one loop owns it.
class DelaySchedule {
public:
    DelaySchedule(const DelayShape& shape, std::uint32_t seed);

    /// The verdict for a packet that arrives at `now`.
    Verdict admit(Clock::time_point now);

private:
    bool draw(double percent);

    DelayShape shape;
    std::mt19937 random;
    /// The latest deadline given to an in-order packet: the next in-order packet leaves no earlier.
    Clock::time_point lastInOrder{};
};

}  // namespace tarn::lab::delayline
