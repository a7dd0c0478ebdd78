#pragma once

#include <array>
#include <vector>

#include "tarn/client/NatBehavior.h"

namespace tarn::client::impl::service::connection {

// The port decisions behind a symmetric NAT, as plain values in and out: discovery measures the
// NAT's port step with measureStep, the symmetric connector predicts its own ports with
// predictPorts and places them ahead of other hosts' flows with leadFor, and the pass lines its
// answers up with the ports it announced through stepsBetween and align. None touches a socket.
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

    // How many increments past the ports our own flows will take a block of `candidates` ports
    // should start, when other hosts sharing the NAT are expected to take expectedForeign of its
    // ports (a Poisson count) before the block is used: the start of the `candidates` consecutive
    // counts most likely to hold that count. 0 when none are expected, so that a quiet NAT keeps
    // the plain prediction; more than kMostForeign count as that many.
    static int leadFor(double expectedForeign, int candidates);
    // A lead past this many ports would cost as many datagrams to line a block up, and a NAT that
    // busy wraps its counter within a round anyway.
    static constexpr double kMostForeign = 1024;

    // How many increments lead from port `from` to port `to` along predictPorts' sequence, round
    // the range included; -1 when `to` is not on it within kFarthestStep increments (a NAT that
    // wraps elsewhere, another step, a port just before `from`) or the increment is not positive.
    static int stepsBetween(int from, int to, int increment);
    static constexpr int kFarthestStep = 16384;

    // Where a block of announced ports stands against the NAT's port counter: `taken` ports have
    // gone (to our flows and to others') since the measured port, and the block's first port is
    // the first'th after it, counted from 1. burn: ports to use up before the block starts; skip:
    // the block's leading ports that are gone already.
    struct Alignment {
        int burn;
        int skip;
    };
    static Alignment align(int taken, int first);
};

}  // namespace tarn::client::impl::service::connection
