#pragma once

#include <array>
#include <vector>

#include "tarn/client/NatBehavior.h"

namespace tarn::client::impl::service::connection {

// The port decisions behind a symmetric NAT, as plain values in and out: discovery measures the
// NAT's port step with measureStep, the symmetric connector predicts its own ports with
// predictPorts. Neither touches a socket.
class PortPlan {
public:
    // What four mappings, one per rendezvous server, say about the NAT's port allocation.
    struct Step {
        NatBehavior behavior = NatBehavior::NOT_SENSITIVE;
        int increment = 0;
        // The two steps between mappings towards the same server address; they should agree.
        int firstIntraStep = 0;
        int secondIntraStep = 0;

        bool consistent() const { return firstIntraStep == secondIntraStep; }
    };

    // The step from the public ports of four new mappings towards S1..S4, in any order: the
    // smaller non-zero step between mappings towards one address, else the step between the two
    // addresses, else none.
    static Step measureStep(std::array<int, 4> ports);

    // The next `candidates` public ports the NAT should hand out after latestPort, one increment
    // apart; past 65535 they restart at increment + 1024. Empty for candidates of 0 or less.
    static std::vector<int> predictPorts(int latestPort, int increment, int candidates);
};

}  // namespace tarn::client::impl::service::connection
