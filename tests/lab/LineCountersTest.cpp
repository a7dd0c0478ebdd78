#include "LineCounters.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarn::lab::delayline {
namespace {

TEST(LineCounters, LatenessLandsInItsBucketAndTheJsonNamesEveryCounter) {
    struct Row {
        std::chrono::nanoseconds late;
        std::size_t bucket;
    };
    const std::vector<Row> rows{
        {std::chrono::nanoseconds(-5), 0},  // written a moment early by the clock's reading: on time
        {std::chrono::microseconds(50), 0},  {std::chrono::microseconds(51), 1},
        {std::chrono::microseconds(999), 4}, {std::chrono::milliseconds(20), 7},
        {std::chrono::milliseconds(21), 8},
    };
    LineCounters counters;
    for (const Row& row : rows) {
        const auto before = counters.lateBuckets;
        counters.recordLateness(row.late);
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(counters.lateBuckets[i] - before[i], i == row.bucket ? 1u : 0u)
                << row.late.count() << " ns, bucket " << i;
        }
    }
    EXPECT_EQ(counters.lateMaxUs, 21000);
    const std::string json = counters.json();
    for (const char* key : {"\"received\"", "\"sent\"", "\"lost\"", "\"overflow\"", "\"malformed\"",
                            "\"writeErrors\"", "\"droppedAtStop\"", "\"peakPackets\"", "\"peakBytes\"",
                            "\"lateMaxUs\": 21000", "\"lateMeanUs\"", "\"<=50\": 2", "\">20000\": 1"}) {
        EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
    }
}

}  // namespace
}  // namespace tarn::lab::delayline
