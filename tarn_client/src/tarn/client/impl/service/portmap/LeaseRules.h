#pragma once

#include <chrono>
#include <cstdint>

namespace tarn::client::impl::service::portmap {

// When a mapping is renewed and when a mapper has lost its mappings, as plain values.
class LeaseRules {
public:
    using Clock = std::chrono::steady_clock;

    // Half the granted lease after it was granted; a lease under two seconds is renewed after one.
    static Clock::time_point renewAt(Clock::time_point grantedAt, std::chrono::seconds lease);
    // Whether the mapper's epoch went back since the previous answer: its seconds must have grown
    // by at least seven eighths of the time that passed here, less two seconds for rounding on
    // both sides; less means it restarted or forgot its mappings.
    static bool epochWentBack(std::uint32_t previousEpoch, Clock::time_point previousAt, std::uint32_t epoch,
                              Clock::time_point at);
};

}  // namespace tarn::client::impl::service::portmap
