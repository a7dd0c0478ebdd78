#include "tarn/client/impl/service/connection/PortRate.h"

#include <chrono>
#include <vector>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::connection::PortRate;
using Samples = std::vector<PortRate::Sample>;

PortRate::Sample at(int port, int ms) {
    return {port, std::chrono::milliseconds(ms)};
}

TEST(PortRate, EstimateTable) {
    struct Row {
        const char* label;
        Samples samples;
        int increment;
        double rate;
    };
    const Row rows[] = {
        // Discovery on a quiet NAT: tests 1 to 3, then four servers at once after a silent change
        // test. The primary socket kept an older mapping towards S1.
        {"quiet",
         {at(20001, 0), at(20002, 10), at(20000, 20), at(20000, 520), at(20003, 520), at(20004, 520),
          at(20005, 520)},
         1,
         0},
        {"26 foreign ports in 520 ms",
         {at(20001, 0), at(20003, 10), at(20004, 20), at(20004, 520), at(20030, 520), at(20031, 520),
          at(20032, 520)},
         1,
         50},
        {"step 2",
         {at(20002, 0), at(20006, 10), at(20008, 20), at(20008, 520), at(20060, 520), at(20062, 520),
          at(20064, 520)},
         2,
         50},
        // Arrival order does not matter: the furthest port and its time count.
        {"answers reordered", {at(20001, 0), at(20004, 500), at(20003, 500), at(20012, 500)}, 1, 16},
        // Off the sequence of step 2: not one of ours, not counted.
        {"off the sequence", {at(20000, 0), at(20003, 100), at(20010, 500)}, 2, 8},
        // The NAT wrapped round to its lowest port: the first sample reaches nothing after it.
        {"wrapped", {at(20998, 0), at(20000, 100), at(20003, 600)}, 1, 4},
        {"one sample", {at(20000, 0)}, 1, -1},
        {"no sample", {}, 1, -1},
        {"no time", {at(20000, 5), at(20009, 5)}, 1, -1},
        {"no step", {at(20000, 0), at(20009, 100)}, 0, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_DOUBLE_EQ(row.rate, PortRate::estimate(row.samples, row.increment));
    }
}

}  // namespace
