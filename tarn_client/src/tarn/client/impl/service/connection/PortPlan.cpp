#include "tarn/client/impl/service/connection/PortPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tarn::client::impl::service::connection {

namespace {
// The range a NAT allocates public ports from: the registered and dynamic ports.
const long long kLowestPort = 1024;
const long long kHighestPort = 65535;
const long long kRangeSize = kHighestPort - kLowestPort + 1;
// A Poisson count lies beyond its mean plus this many standard deviations (plus the constant, for
// small means) with a probability below 1e-20: windows starting there add nothing.
const double kPoissonSpread = 12.0;
// Window masses closer than this (relative) are equal: rounding must not move a block for nothing.
const double kMassTolerance = 1e-12;

// The port one step after port, counted round the allocation range; long long, so that no sum
// overflows.
long long advance(long long port, long long step) {
    const long long next = port + step;
    if (next <= kHighestPort && (next >= kLowestPort || step >= 0)) {
        return next;
    }
    const long long offset = (next - kLowestPort) % kRangeSize;
    return kLowestPort + (offset < 0 ? offset + kRangeSize : offset);
}
}  // namespace

PortPlan::Step PortPlan::measureStep(std::array<int, 4> ports) {
    std::sort(ports.begin(), ports.end());
    // d1 and d2 compare two mappings towards the same server address; d3 spans the two addresses.
    const int d1 = std::abs(ports[1] - ports[0]);
    const int d2 = std::abs(ports[3] - ports[2]);
    const int d3 = std::abs(ports[2] - ports[1]);
    Step step;
    step.firstIntraStep = d1;
    step.secondIntraStep = d2;
    if (d1 != 0 || d2 != 0) {
        step.behavior = NatBehavior::PORT_SENSITIVE;
        step.increment = d1 == 0 ? d2 : (d2 == 0 ? d1 : std::min(d1, d2));
    } else if (d3 != 0) {
        step.behavior = NatBehavior::ADDRESS_SENSITIVE;
        step.increment = d3;
    }
    return step;
}

std::vector<int> PortPlan::predictPorts(int latestPort, int increment, int candidates) {
    std::vector<int> ports;
    long long port = latestPort;
    for (int i = 0; i < candidates; ++i) {
        port = advance(port, increment);
        ports.push_back(static_cast<int>(port));
    }
    return ports;
}

int PortPlan::leadFor(double expectedForeign, int candidates) {
    if (!(expectedForeign > 0) || candidates <= 0) {
        return 0;
    }
    expectedForeign = std::min(expectedForeign, kMostForeign);
    // Poisson probabilities up to a common factor, built in logs so that large means do not
    // underflow, and scaled to about 1 at the mean.
    const int last = static_cast<int>(expectedForeign + kPoissonSpread * (std::sqrt(expectedForeign) + 1));
    const double logMean = std::log(expectedForeign);
    std::vector<double> logWeight(static_cast<std::size_t>(last + candidates), 0.0);
    for (std::size_t k = 1; k < logWeight.size(); ++k) {
        logWeight[k] = logWeight[k - 1] + logMean - std::log(static_cast<double>(k));
    }
    const double scale = logWeight[static_cast<std::size_t>(expectedForeign)];
    const auto weight = [&](int k) { return std::exp(logWeight[static_cast<std::size_t>(k)] - scale); };
    double mass = 0;
    for (int k = 0; k < candidates; ++k) {
        mass += weight(k);
    }
    double best = mass;
    int lead = 0;
    for (int start = 1; start <= last; ++start) {
        mass += weight(start + candidates - 1) - weight(start - 1);
        if (mass > best * (1 + kMassTolerance)) {
            best = mass;
            lead = start;
        }
    }
    return lead;
}

int PortPlan::stepsBetween(int from, int to, int increment) {
    if (increment <= 0) {
        return -1;
    }
    long long distance = static_cast<long long>(to) - from;
    if (from >= kLowestPort && to >= kLowestPort) {
        // Round the allocation range, as predictPorts counts.
        distance = (distance % kRangeSize + kRangeSize) % kRangeSize;
    }
    if (distance < 0 || distance % increment != 0 || distance / increment > kFarthestStep) {
        return -1;
    }
    return static_cast<int>(distance / increment);
}

PortPlan::Alignment PortPlan::align(int taken, int first) {
    return {std::max(0, first - taken - 1), std::max(0, taken + 1 - first)};
}

}  // namespace tarn::client::impl::service::connection
