#include "tarn/client/impl/service/portmap/LeaseRules.h"

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::portmap::LeaseRules;
using std::chrono::seconds;

TEST(LeaseRules, RenewsAtHalfTheLeaseAndNeverAtOnce) {
    const LeaseRules::Clock::time_point granted{};
    EXPECT_EQ(granted + seconds(3600), LeaseRules::renewAt(granted, seconds(7200)));
    EXPECT_EQ(granted + std::chrono::milliseconds(1500), LeaseRules::renewAt(granted, seconds(3)));
    EXPECT_EQ(granted + seconds(1), LeaseRules::renewAt(granted, seconds(1)));
    EXPECT_EQ(granted + seconds(1), LeaseRules::renewAt(granted, seconds(0)));
}

TEST(LeaseRules, EpochThatFallsBehindTheClockMeansLostMappings) {
    const LeaseRules::Clock::time_point then{};
    const struct {
        std::uint32_t previous;
        long elapsed;
        std::uint32_t now;
        bool wentBack;
    } rows[] = {
        {1000, 0, 1000, false},    // at once, same epoch
        {1000, 80, 1080, false},   // in step with our clock
        {1000, 80, 1070, false},   // 7/8 of 80 s is 70 s: still in step
        {1000, 80, 1068, false},   // two seconds of rounding allowed
        {1000, 80, 1067, true},    // behind by more
        {1000, 0, 999, true},      // smaller than before
        {1000, 3600, 5, true},     // the router restarted
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.previous) + " +" + std::to_string(row.elapsed) + "s -> " + std::to_string(row.now));
        EXPECT_EQ(row.wentBack, LeaseRules::epochWentBack(row.previous, then, row.now, then + seconds(row.elapsed)));
    }
}

}  // namespace
