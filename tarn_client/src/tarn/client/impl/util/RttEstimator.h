#pragma once

#include <chrono>

namespace tarn::client::impl::util {

// A smoothed round trip and its variation, from samples of one path (the rendezvous service), as
// TCP estimates its retransmission time-out: the first sample sets the round trip and half of it
// as the variation, each later one moves the round trip by an eighth and the variation by a
// quarter of the difference. Unlike TCP there is no one-second floor: the callers declare their
// own floors and ceilings (WaitRules). Not thread-safe: the discovery engine and the pass, which
// feed and read it, run on one thread.
class RttEstimator {
public:
    using Duration = std::chrono::microseconds;

    void addSample(Duration sample);
    // No sample yet: the callers keep their configured waits.
    bool empty() const { return samples == 0; }
    int count() const { return samples; }
    Duration smoothed() const { return srtt; }
    Duration variation() const { return rttvar; }
    // How long an answer may take before its absence means loss or silence: the smoothed round
    // trip plus four variations, at least kClockGranularity beyond the round trip.
    Duration timeout() const;

    // The resolution below which a variation is noise of the scheduler, not of the path.
    static constexpr Duration kClockGranularity = std::chrono::milliseconds(10);

private:
    int samples = 0;
    Duration srtt{0};
    Duration rttvar{0};
};

}  // namespace tarn::client::impl::util
