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
    // apart. Empty for candidates of 0 or less.
    //
    // Wrap and overflow are handled here and nowhere else: the ports count round the range a NAT
    // allocates from, 1024..65535, so the port after 65535 is 1024 and any increment, however
    // large, is taken modulo the range's 64512 ports. No port returned lies above 65535; a latestPort
    // below 1024 (none measured yet) counts upwards from itself until it enters the range.
    static std::vector<int> predictPorts(int latestPort, int increment, int candidates);
};

}  // namespace tarn::client::impl::service::connection
