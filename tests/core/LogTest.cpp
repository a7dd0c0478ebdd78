#include "tarn/client/impl/Log.h"

#include <string>

#include <gtest/gtest.h>

#include "ScopedGroupingLocale.h"

using tarn::client::impl::Log;
using tarn::test::ScopedGroupingLocale;

TEST(Log, FormatFillsPlaceholdersByPositionAndToleratesMismatches) {
    EXPECT_EQ(Log::format("%2%/%1%", "a", 7), "7/a");
    EXPECT_EQ(Log::format("only %1%", 1, 2), "only 1");
    EXPECT_EQ(Log::format("%1% and %2%", "one"), "one and ");
}

TEST(Log, NumbersIgnoreTheHostsGlobalLocale) {
    ScopedGroupingLocale grouping;
    EXPECT_EQ(Log::format("port %1%, id %2%", 13434, -1234567L), "port 13434, id -1234567");
}
