#include "tarn/client/impl/service/connection/WaitRules.h"

#include <algorithm>

#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::connection {

namespace {

using Milliseconds = WaitRules::Milliseconds;

// Rounded up: a wait a fraction shorter than the estimate would still end before the answer.
Milliseconds ceilMs(util::RttEstimator::Duration duration) {
    return std::chrono::ceil<Milliseconds>(duration);
}

// Up to whole steps of a round: a round waits in kRoundWaitParts steps of whole milliseconds, and a
// time-out that is no multiple of them takes a step more (SteppedWait), a quarter round too long.
Milliseconds wholeSteps(Milliseconds round) {
    const int parts = util::Intervals::kRoundWaitParts;
    return Milliseconds((round.count() + parts - 1) / parts * parts);
}

Milliseconds follow(Milliseconds estimate, Milliseconds configured, WaitRules::Order order,
                    Milliseconds floor) {
    if (order == WaitRules::Order::DOCUMENTED) {
        return std::max(configured, std::min(estimate, WaitRules::kCeiling));
    }
    return std::clamp(estimate, floor, WaitRules::kCeiling);
}

// The time-out of a path kPeerPathFactor times as long as the service's, variation included.
Milliseconds peerTimeout(const util::RttEstimator& rtt) {
    const util::RttEstimator::Duration peerRtt = WaitRules::kPeerPathFactor * rtt.smoothed();
    const util::RttEstimator::Duration peerVariation = WaitRules::kPeerPathFactor * rtt.variation();
    return ceilMs(peerRtt + std::max(util::RttEstimator::kClockGranularity, 4 * peerVariation));
}

}  // namespace

Milliseconds WaitRules::serverWait(const util::RttEstimator& rtt, Milliseconds configured, Order order) {
    if (rtt.empty()) {
        return configured;
    }
    if (order == Order::DOCUMENTED) {
        return follow(ceilMs(rtt.timeout()), configured, order, kServerFloor);
    }
    const util::RttEstimator::Duration margin =
        std::max(util::RttEstimator::kClockGranularity, kOverlapVariations * rtt.variation());
    return follow(ceilMs(rtt.smoothed() + margin), configured, order, kServerFloor);
}

Milliseconds WaitRules::probeWait(const util::RttEstimator& rtt, Milliseconds configured) {
    return serverWait(rtt, configured, Order::OVERLAPPED);
}

Milliseconds WaitRules::roundWait(const util::RttEstimator& rtt, Milliseconds configured, Order order) {
    if (rtt.empty()) {
        return configured;
    }
    if (order == Order::DOCUMENTED) {
        // A configured round that is long enough stays exactly as configured.
        const Milliseconds round = follow(peerTimeout(rtt), configured, order, kRoundFloor);
        return round == configured ? configured : wholeSteps(round);
    }
    const util::RttEstimator::Duration peerRtt = kPeerPathFactor * rtt.smoothed();
    return wholeSteps(
        follow(ceilMs(peerRtt + util::RttEstimator::kClockGranularity), configured, order, kRoundFloor));
}

Milliseconds WaitRules::confirmWait(const util::RttEstimator& rtt) {
    return rtt.empty() ? kServerFloor : std::clamp(peerTimeout(rtt), kServerFloor, kCeiling);
}

}  // namespace tarn::client::impl::service::connection
