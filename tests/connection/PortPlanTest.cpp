#include "tarn/client/impl/service/connection/PortPlan.h"

#include <array>
#include <string>
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

}  // namespace
