#include "tarn/client/impl/service/connection/PortRate.h"

#include <algorithm>
#include <set>

#include "tarn/client/impl/service/connection/PortPlan.h"

namespace tarn::client::impl::service::connection {

double PortRate::estimate(const std::vector<Sample>& samples, int increment) {
    for (std::size_t first = 0; first < samples.size(); ++first) {
        // Our own flows after the first sample, and the one that reached furthest along the sequence.
        std::set<int> own;
        int furthest = 0;
        std::chrono::microseconds until = samples[first].at;
        for (std::size_t i = first + 1; i < samples.size(); ++i) {
            const int steps = PortPlan::stepsBetween(samples[first].port, samples[i].port, increment);
            if (steps <= 0) {
                continue;
            }
            own.insert(steps);
            if (steps > furthest) {
                furthest = steps;
                until = samples[i].at;
            }
        }
        const std::chrono::duration<double> span = until - samples[first].at;
        if (span >= kShortestSpan) {
            return std::max(0, furthest - static_cast<int>(own.size())) / span.count();
        }
    }
    return -1;
}

}  // namespace tarn::client::impl::service::connection
