#pragma once

#include <chrono>

#include "tarn/client/impl/util/RttEstimator.h"

namespace tarn::client::impl::service::connection {

// Every wait that decides "silence" follows the round trip to the rendezvous service measured by
// the first exchanges (util::RttEstimator), within the floors and ceilings declared here. Pure:
// the estimate and the configured wait in, the wait out.
//
// The documented order keeps each configured wait while it is long enough, and grows it to the
// estimate's time-out (round trip plus four variations) when the path is longer: a wait shorter
// than the round trip takes every answer for silence. The overlapped order (tarn.discovery.overlap,
// tarn.connect.overlap) waits as long as the estimate says, shorter at short distances and longer
// at long ones, and trades some margin for time: its discovery tests resend five times within the
// wait, and its rounds follow each other, so an answer that comes after its round still counts in
// the next. Without an estimate both keep the configured wait.
struct WaitRules {
    using Milliseconds = std::chrono::milliseconds;
    enum class Order { DOCUMENTED, OVERLAPPED };

    // The overlapped order's shortest wait for a rendezvous server: the estimate's time-out of a
    // path up to about 90 ms, where the scheduler of a busy host and a burst queued at a router
    // add tens of milliseconds that a few samples do not show.
    static constexpr Milliseconds kServerFloor{100};
    // The overlapped order's shortest round of a pass: four of them, the relay decision, take
    // just under a second, which leaves a peer at up to 150 ms (twice the server floor's path) a
    // resend at every quarter; a round waits whole steps of 4 ms.
    static constexpr Milliseconds kRoundFloor{248};
    // No wait grows beyond this, whatever the estimate: a path of several seconds is a path a game
    // cannot use, and a single stalled sample must not stall a discovery or pass for longer.
    static constexpr Milliseconds kCeiling{5000};
    // A peer is taken to be twice as far as the service: each player reaches the other through
    // its own access link and the peer's, and the service sits about midway (in the lab, exactly).
    static constexpr int kPeerPathFactor = 2;
    // The overlapped order waits for the service the round trip plus this many variations: after
    // the first few samples the variation is still mostly the first sample's half round trip, and
    // four of them made a port-restricted discovery at 600 ms cost nearly three round trips.
    static constexpr int kOverlapVariations = 2;

    // The wait for an answer of the rendezvous service: a discovery test's attempt, a retry, a
    // refresh, the latest-port query.
    static Milliseconds serverWait(const util::RttEstimator& rtt, Milliseconds configured, Order order);
    // The port probe before a block of a symmetric NAT's answers: one attempt, as long as an
    // answer takes by the estimate, in either order (its count is bounded by the pass's limits).
    static Milliseconds probeWait(const util::RttEstimator& rtt, Milliseconds configured);
    // A public round of the pass (and the overlapped first round): in the documented order a peer's
    // time-out (a peer kPeerPathFactor times as far as the service, four variations included), in
    // the overlapped order a peer's round trip, so that its rounds, the relay decision, take about
    // four peer round trips. Whole steps of a round: a multiple of Intervals::kRoundWaitParts ms.
    static Milliseconds roundWait(const util::RttEstimator& rtt, Milliseconds configured, Order order);
    // At the end of a pass, how long after our answer to a peer's direct ping its confirmation may
    // take: a peer round trip by the estimate, at least kServerFloor (the floor without one).
    static Milliseconds confirmWait(const util::RttEstimator& rtt);
};

}  // namespace tarn::client::impl::service::connection
