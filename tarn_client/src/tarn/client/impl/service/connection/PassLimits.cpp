#include "tarn/client/impl/service/connection/PassLimits.h"

#include <algorithm>

#include "tarn/client/impl/service/connection/PortPlan.h"

namespace tarn::client::impl::service::connection {

PassLimits::LineUp PassLimits::lineUp(int taken, int first, int blockSize, int burnLeft) {
    if (taken < 0) {
        return {0, 0, 0, false};
    }
    const PortPlan::Alignment at = PortPlan::align(taken, first);
    const int allowed =
        std::max(0, std::min(burnPerBlock(blockSize), burnLeft));
    return {at.burn, std::min(at.burn, allowed), at.skip, at.burn > allowed};
}

std::chrono::steady_clock::time_point PassLimits::paceUntil(const std::deque<Burst>& recent,
                                                            std::chrono::steady_clock::time_point now,
                                                            int datagrams) {
    // Walk forward through the moments the recent bursts leave the window until enough room is
    // left: the bursts are oldest first, so each moment frees the burst that leaves then.
    const int limit = std::max(kBurstDatagrams - std::max(datagrams, 0), 0);
    int inWindow = 0;
    for (const Burst& burst : recent) {
        if (burst.at + kBurstWindow > now) {
            inWindow += burst.datagrams;
        }
    }
    auto at = now;
    for (const Burst& burst : recent) {
        if (inWindow <= limit) {
            break;
        }
        if (burst.at + kBurstWindow > at) {
            at = burst.at + kBurstWindow;
            inWindow -= burst.datagrams;
        }
    }
    return at;
}

}  // namespace tarn::client::impl::service::connection
