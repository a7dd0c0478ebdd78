#include "tarn/client/impl/service/connection/PortPlan.h"

#include <array>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using tarn::client::NatBehavior;
using tarn::client::impl::service::connection::PortPlan;
using ::testing::ElementsAreArray;

TEST(PortPlan, StepTable) {
    struct Row {
        std::array<int, 4> ports;  // the public ports of the mappings towards S1..S4
        NatBehavior behavior;
        int increment;
        int firstIntraStep;
        int secondIntraStep;
    };
    const Row rows[] = {
        {{40001, 40002, 40003, 40004}, NatBehavior::PORT_SENSITIVE, 1, 1, 1},
        // Unequal steps within an address: the smaller one wins.
        {{40000, 40002, 40003, 40007}, NatBehavior::PORT_SENSITIVE, 2, 2, 4},
        {{40000, 40004, 40005, 40006}, NatBehavior::PORT_SENSITIVE, 1, 4, 1},
        // The ports are sorted first, so arrival order does not matter.
        {{40007, 40003, 40002, 40000}, NatBehavior::PORT_SENSITIVE, 2, 2, 4},
        {{40010, 40000, 40010, 40005}, NatBehavior::PORT_SENSITIVE, 5, 5, 0},
        // A zero step within one address yields to the other one's.
        {{40000, 40005, 40010, 40010}, NatBehavior::PORT_SENSITIVE, 5, 5, 0},
        {{40000, 40000, 40010, 40013}, NatBehavior::PORT_SENSITIVE, 3, 0, 3},
        // Same port per address, a new one per address.
        {{5000, 5000, 6000, 6000}, NatBehavior::ADDRESS_SENSITIVE, 1000, 0, 0},
        {{6000, 5000, 6000, 5000}, NatBehavior::ADDRESS_SENSITIVE, 1000, 0, 0},
        {{7000, 7000, 7000, 7000}, NatBehavior::NOT_SENSITIVE, 0, 0, 0},
        // The full port range: no overflow in the steps.
        {{0, 0, 65535, 65535}, NatBehavior::ADDRESS_SENSITIVE, 65535, 0, 0},
        {{0, 65535, 65535, 65535}, NatBehavior::PORT_SENSITIVE, 65535, 65535, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.ports));
        const PortPlan::Step step = PortPlan::measureStep(row.ports);
        EXPECT_EQ(step.behavior, row.behavior);
        EXPECT_EQ(step.increment, row.increment);
        EXPECT_EQ(step.firstIntraStep, row.firstIntraStep);
        EXPECT_EQ(step.secondIntraStep, row.secondIntraStep);
        EXPECT_EQ(step.consistent(), row.firstIntraStep == row.secondIntraStep);
    }
}

TEST(PortPlan, PredictionTable) {
    struct Row {
        int latestPort;
        int increment;
        int candidates;
        std::vector<int> ports;
    };
    const Row rows[] = {
        {40000, 2, 3, {40002, 40004, 40006}},
        {40000, 1, 1, {40001}},
        // Past the highest port the count goes on round the allocator's range 1024..65535.
        {65535, 1, 2, {1024, 1025}},
        {65534, 4, 2, {1026, 1030}},
        {65530, 3, 4, {65533, 1024, 1027, 1030}},
        {65532, 3, 2, {65535, 1026}},  // 65535 itself is still a port
        // Steps above half the range and above the whole range neither collapse nor truncate.
        {40000, 40000, 3, {15488, 55488, 30976}},
        {40000, 100000, 2, {10976, 46464}},
        {65535, 0, 2, {65535, 65535}},  // a step of 0 never runs past it
        {0, 1, 3, {1, 2, 3}},           // no latest port measured
        {40000, 1, 0, {}},
        {40000, 1, -2, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.latestPort) + " + " + std::to_string(row.increment) + " x " +
                     std::to_string(row.candidates));
        EXPECT_THAT(PortPlan::predictPorts(row.latestPort, row.increment, row.candidates),
                    ElementsAreArray(row.ports));
    }
}

// The Poisson mass of the counts start .. start + candidates - 1, summed the plain way.
double windowMass(double mean, int start, int candidates) {
    double mass = 0;
    for (int k = start; k < start + candidates; ++k) {
        mass += std::exp(k * std::log(mean) - mean - std::lgamma(k + 1.0));
    }
    return mass;
}

TEST(PortPlan, LeadTable) {
    // Expected foreign ports, candidates, and where the window may start: no lead on a quiet NAT, else
    // about candidates / 2 below the mean. No other window may hold more of the count.
    const std::tuple<double, int, int, int> rows[] = {
        {0, 30, 0, 0},     {-3, 30, 0, 0},    {0.2, 30, 0, 0},      {5, 30, 0, 0},         {12.5, 1, 12, 12},
        {100, 30, 84, 86}, {100, 64, 66, 70}, {1000, 64, 966, 970}, {1e6, 30, 1005, 1012}, {40, 0, 0, 0},
    };
    for (const auto& [mean, candidates, lowest, highest] : rows) {
        SCOPED_TRACE(std::to_string(mean) + " x " + std::to_string(candidates));
        const int lead = PortPlan::leadFor(mean, candidates);
        EXPECT_GE(lead, lowest);
        EXPECT_LE(lead, highest);
        for (int start = 0; mean > 0 && mean < 200 && candidates > 0 && start < 3 * mean + 10; ++start) {
            EXPECT_LE(windowMass(mean, start, candidates), windowMass(mean, lead, candidates) * (1 + 1e-9));
        }
    }
}

TEST(PortPlan, StepsBetweenFollowsThePrediction) {
    // From, to, increment, steps: off the sequence, older, round the range, too far, none measured, no step.
    const int far = PortPlan::kFarthestStep;
    const std::array<int, 4> rows[] = {{40000, 40003, 1, 3},  {40000, 40006, 2, 3},   {40000, 40000, 1, 0},
                                       {40000, 40005, 2, -1}, {40000, 39999, 1, -1},  {65534, 1026, 4, 1},
                                       {65534, 1030, 4, 2},   {65530, 1024, 3, 2},    {65535, 1024, 1, 1},
                                       {40000, 1025, 1, -1},  {40000, 56384, 1, far}, {40000, 56385, 1, -1},
                                       {0, 3, 1, 3},          {40000, 40001, 0, -1},  {40000, 40002, -2, -1}};
    for (const auto& [from, to, increment, steps] : rows) {
        SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to) + " by " + std::to_string(increment));
        EXPECT_EQ(steps, PortPlan::stepsBetween(from, to, increment));
        if (steps > 0) {
            EXPECT_EQ(to, PortPlan::predictPorts(from, increment, steps).back());
        }
    }
}

TEST(PortPlan, AlignmentTable) {
    // Ports taken, the block's first position, ports to use up, block ports gone.
    const std::array<int, 4> rows[] = {{0, 1, 0, 0}, {0, 4, 3, 0}, {2, 4, 1, 0},
                                       {3, 4, 0, 0}, {4, 4, 0, 1}, {9, 1, 0, 9}};
    for (const auto& [taken, first, burn, skip] : rows) {
        const PortPlan::Alignment at = PortPlan::align(taken, first);
        EXPECT_EQ(std::make_pair(burn, skip), std::make_pair(at.burn, at.skip))
            << taken << " taken, first " << first;
    }
}

}  // namespace
