#include "tarn/client/impl/service/connection/PortRate.h"

#include <chrono>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::connection::PortRate;
using Samples = std::vector<PortRate::Sample>;

PortRate::Sample at(int port, int ms) {
    return {port, std::chrono::milliseconds(ms)};
}

TEST(PortRate, EstimateTable) {
    // What the samples show, the samples, the step, the rate.
    const std::tuple<const char*, Samples, int, double> rows[] = {
        // Discovery: tests 1 to 3 (the primary socket's mapping is older), then four servers at once.
        {"quiet",
         {at(20001, 0), at(20002, 10), at(20000, 20), at(20000, 520), at(20003, 520), at(20004, 520),
          at(20005, 520)},
         1,
         0},
        {"26 foreign ports in 520 ms, step 2",
         {at(20002, 0), at(20006, 10), at(20008, 20), at(20008, 520), at(20060, 520), at(20062, 520),
          at(20064, 520)},
         2,
         50},
        {"in any order", {at(20001, 0), at(20004, 500), at(20003, 500), at(20012, 500)}, 1, 16},
        {"off the sequence", {at(20000, 0), at(20003, 100), at(20010, 500)}, 2, 8},
        {"wrapped round", {at(20998, 0), at(20000, 100), at(20003, 600)}, 1, 4},
        {"one sample", {at(20000, 0)}, 1, -1},
        {"a burst alone", {at(20000, 5), at(20009, 60)}, 1, -1},
    };
    for (const auto& [label, samples, increment, rate] : rows) {
        EXPECT_DOUBLE_EQ(rate, PortRate::estimate(samples, increment)) << label;
    }
}

}  // namespace
