#include "tarn/client/impl/service/connection/PassLimits.h"

#include <deque>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::connection::PassLimits;
using ms = std::chrono::milliseconds;

TEST(PassLimits, LineUpTable) {
    struct Row {
        const char* what;
        int taken, first, blockSize, burnLeft;
        int wanted, burn, skip;
        bool cut;
    };
    const Row rows[] = {
        {"counter unknown: in order", -1, 5, 4, 16, 0, 0, 0, false},
        {"lined up already", 4, 5, 4, 16, 0, 0, 0, false},
        {"three ports to use up", 1, 5, 4, 16, 3, 3, 0, false},
        {"two of the block gone", 6, 5, 4, 16, 0, 0, 2, false},
        {"exactly one block's worth", 0, 5, 4, 16, 4, 4, 0, false},
        {"a lead of about 1,000 ports", 0, 1001, 30, 120, 1000, 30, 0, true},
        {"budget nearly spent", 0, 5, 4, 2, 4, 2, 0, true},
        {"budget spent", 0, 5, 4, 0, 4, 0, 0, true},
        {"budget just enough", 0, 3, 4, 2, 2, 2, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const PassLimits::LineUp at = PassLimits::lineUp(row.taken, row.first, row.blockSize, row.burnLeft);
        EXPECT_EQ(row.wanted, at.wanted);
        EXPECT_EQ(row.burn, at.burn);
        EXPECT_EQ(row.skip, at.skip);
        EXPECT_EQ(row.cut, at.cut);
    }
}

TEST(PassLimits, BurnLeftIsTheSmallerOfTheRoundsAndThePasssBudget) {
    EXPECT_EQ(8, PassLimits::burnLeft(4, 0, 0));  // a pass of two blocks' worth before a round of four
    EXPECT_EQ(1, PassLimits::burnLeft(4, 2, 7));
    EXPECT_EQ(0, PassLimits::burnLeft(4, 16, 0));
    EXPECT_EQ(0, PassLimits::burnLeft(4, 0, 9));
}

TEST(PassLimits, PacingTable) {
    const auto now = std::chrono::steady_clock::time_point() + std::chrono::seconds(1);
    struct Row {
        const char* what;
        std::deque<PassLimits::Burst> recent;
        int datagrams;
        ms wait;
    };
    const Row rows[] = {
        {"nothing sent: the largest block at once", {}, 256, ms(0)},
        {"fills the window exactly", {{now - ms(5), 200}}, 56, ms(0)},
        {"one over: waits for the burst to leave", {{now - ms(5), 200}}, 57, ms(5)},
        {"an old burst does not count", {{now - ms(10), 256}}, 256, ms(0)},
        {"the first of two leaving is enough", {{now - ms(8), 100}, {now - ms(2), 100}}, 100, ms(2)},
        {"both must leave", {{now - ms(8), 100}, {now - ms(2), 156}}, 256, ms(8)},
        {"over the bound alone: an empty window", {{now - ms(1), 10}}, 300, ms(9)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(now + row.wait, PassLimits::paceUntil(row.recent, now, row.datagrams));
    }
    // The bounds fit each other: the largest block's used-up ports and answers, two primers each.
    EXPECT_LE(2 * (PassLimits::burnPerBlock(64) + 64), PassLimits::kBurstDatagrams);
}

}  // namespace
