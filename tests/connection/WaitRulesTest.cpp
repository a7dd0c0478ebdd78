#include "tarn/client/impl/service/connection/WaitRules.h"

#include <vector>

#include <gtest/gtest.h>

#include "tarn/client/impl/util/RttEstimator.h"

namespace {

using tarn::client::impl::service::connection::WaitRules;
using tarn::client::impl::util::RttEstimator;
using ms = std::chrono::milliseconds;
using Order = WaitRules::Order;

RttEstimator estimate(const std::vector<int>& samplesMs) {
    RttEstimator rtt;
    for (int sample : samplesMs) {
        rtt.addSample(ms(sample));
    }
    return rtt;
}

TEST(RttEstimator, SmoothsAsTcpDoesWithoutItsFloor) {
    struct Row {
        const char* what;
        std::vector<int> samples;
        int srttUs, rttvarUs, timeoutUs;
    };
    const Row rows[] = {
        {"one sample: half of it as variation", {200}, 200000, 100000, 600000},
        {"a steady path narrows the variation", {200, 200, 200}, 200000, 56250, 425000},
        {"a late sample moves by an eighth and a quarter", {200, 280}, 210000, 95000, 590000},
        {"loopback: granularity beyond the round trip", {0, 0}, 0, 0, 10000},
        {"a negative sample counts as none", {-5}, 0, 0, 10000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const RttEstimator rtt = estimate(row.samples);
        EXPECT_EQ(row.srttUs, rtt.smoothed().count());
        EXPECT_EQ(row.rttvarUs, rtt.variation().count());
        EXPECT_EQ(row.timeoutUs, rtt.timeout().count());
    }
}

TEST(WaitRules, WaitsFromTheEstimateWithinFloorsAndCeilings) {
    struct Row {
        const char* what;
        std::vector<int> samples;
        int configured;
        Order order;
        int server, probe, round, confirm;
    };
    const Row rows[] = {
        {"no estimate: configured", {}, 500, Order::DOCUMENTED, 500, 500, 500, 100},
        {"no estimate, overlapped: configured", {}, 500, Order::OVERLAPPED, 500, 500, 500, 100},
        {"loopback, documented: configured", {1, 1, 1}, 500, Order::DOCUMENTED, 500, 100, 500, 100},
        {"loopback, overlapped: floors", {1, 1, 1}, 500, Order::OVERLAPPED, 100, 100, 248, 100},
        {"200 ms, documented: configured holds", {200, 200, 200}, 500, Order::DOCUMENTED, 500, 313, 852, 850},
        {"200 ms, overlapped", {200, 200, 200}, 500, Order::OVERLAPPED, 313, 313, 412, 850},
        {"600 ms, documented: grows to fit", {600, 600, 600}, 500, Order::DOCUMENTED, 1275, 938, 2552, 2550},
        {"600 ms, a long configured wait holds",
         {600, 600, 600},
         3000,
         Order::DOCUMENTED,
         3000,
         938,
         3000,
         2550},
        {"3 s: ceilings", {3000}, 500, Order::OVERLAPPED, 5000, 5000, 5000, 5000},
        {"3 s, documented: a longer configured wait still holds",
         {3000},
         8000,
         Order::DOCUMENTED,
         8000,
         5000,
         8000,
         5000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const RttEstimator rtt = estimate(row.samples);
        EXPECT_EQ(ms(row.server), WaitRules::serverWait(rtt, ms(row.configured), row.order));
        EXPECT_EQ(ms(row.probe), WaitRules::probeWait(rtt, ms(row.configured)));
        EXPECT_EQ(ms(row.round), WaitRules::roundWait(rtt, ms(row.configured), row.order));
        EXPECT_EQ(ms(row.confirm), WaitRules::confirmWait(rtt));
    }
}

}  // namespace
