#include "tarn/server/OwnedRecords.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using std::chrono::seconds;

// Two records fit; a third is kept only once one of them has expired and been forgotten.
TEST(OwnedRecords, LiveRecordsKeepTheirExpiryAndAFullMapTakesNoNewOneUntilOneExpires) {
    const auto start = OwnedRecords::Clock::now();
    OwnedRecords owned(2);
    const struct {
        LookupQueue::Key key;
        int expiresS;  // after start
        int wroteS;
    } writes[] = {{1, 10, 0}, {2, 3, 0}, {3, 10, 0}, {1, 20, 1}, {3, 10, 5}};
    const struct {
        int afterWrites;  // how many of writes were made
        int atS;
        std::vector<LookupQueue::Key> live;
    } rows[] = {{2, 0, {1, 2}}, {3, 0, {1, 2}}, {4, 2, {1, 2}}, {4, 4, {1}}, {5, 5, {1, 3}}, {5, 25, {}}};
    int made = 0;
    for (const auto& row : rows) {
        for (; made < row.afterWrites; ++made) {
            const auto& write = writes[made];
            owned.wrote({write.key, 7, {}}, start + seconds(write.expiresS), start + seconds(write.wroteS));
        }
        auto live = owned.live(start + seconds(row.atS));
        std::sort(live.begin(), live.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
        std::vector<LookupQueue::Key> keys;
        for (const auto& write : live) {
            keys.push_back(write.key);
            EXPECT_EQ(write.server, 7u);
            EXPECT_EQ(write.expiresAt, start + seconds(write.key == 1 && made >= 4 ? 20
                                                       : write.key == 2            ? 3
                                                                                   : 10));
        }
        EXPECT_EQ(keys, row.live) << "after " << made << " writes at " << row.atS << " s";
    }
}

}  // namespace
}  // namespace server
}  // namespace tarn
