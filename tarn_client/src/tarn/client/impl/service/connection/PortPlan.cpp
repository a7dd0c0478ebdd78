#include "tarn/client/impl/service/connection/PortPlan.h"

#include <algorithm>
#include <cstdlib>

namespace tarn::client::impl::service::connection {

namespace {
// The range a NAT allocates public ports from: the registered and dynamic ports.
const long long kLowestPort = 1024;
const long long kHighestPort = 65535;
const long long kRangeSize = kHighestPort - kLowestPort + 1;

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

}  // namespace tarn::client::impl::service::connection
