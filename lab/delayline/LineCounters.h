#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::lab::delayline {

/// What the delay line did since it started; printed as one JSON line, the keys as named here.
struct LineCounters {
    /// Upper bounds (microseconds) of the lateness buckets: how long after its deadline a packet left.
    static constexpr std::array<std::int64_t, 8> kLateBucketsUs{50, 100, 200, 500, 1000, 2000, 5000, 20000};

    std::uint64_t received = 0;
    std::uint64_t sent = 0;
    std::uint64_t lost = 0;           ///< dropped by the loss draw
    std::uint64_t overflow = 0;       ///< dropped because the queue was at its packet or byte bound
    std::uint64_t malformed = 0;      ///< not IPv4 or a truncated header: dropped, never forwarded
    std::uint64_t writeErrors = 0;    ///< the device refused a write
    std::uint64_t droppedAtStop = 0;  ///< still queued when the line stopped
    std::size_t peakPackets = 0;
    std::size_t peakBytes = 0;
    /// lateBuckets[i] counts packets at most kLateBucketsUs[i] late; the last one everything later.
    std::array<std::uint64_t, kLateBucketsUs.size() + 1> lateBuckets{};
    std::int64_t lateMaxUs = 0;
    std::int64_t lateSumUs = 0;

    void recordLateness(std::chrono::nanoseconds late);
    std::string json() const;
};

}  // namespace tarn::lab::delayline
