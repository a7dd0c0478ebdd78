#include "tarn/server/BoundedTable.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

struct Count {
    int value = 0;
};

int countOf(BoundedTable<Count>& table, std::uint64_t key) {
    int value = -1;
    table.find(key, [&](const Count& count, Clock::time_point) { value = count.value; });
    return value;
}

TEST(BoundedTable, CapacityRoundsUpToWholeSets) {
    const struct {
        std::size_t asked;
        std::size_t held;
    } rows[] = {{0, 8}, {1, 8}, {8, 8}, {9, 16}, {17, 32}, {1000, 1024}};
    for (const auto& row : rows) {
        EXPECT_EQ(BoundedTable<Count>(row.asked).capacity(), row.held) << row.asked;
    }
}

TEST(BoundedTable, UpdateCreatesOnceThenKeepsTheValue) {
    BoundedTable<Count> table(64);
    const Clock::time_point t0{};
    std::vector<bool> created;
    for (int i = 0; i < 3; ++i) {
        table.update(42, t0 + seconds(i), [&](Count& count, bool isNew) {
            created.push_back(isNew);
            ++count.value;
        });
    }
    EXPECT_EQ(created, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(countOf(table, 42), 3);
    EXPECT_EQ(countOf(table, 43), -1);
    Clock::time_point touched{};
    EXPECT_TRUE(table.find(42, [&](const Count&, Clock::time_point at) { touched = at; }));
    EXPECT_EQ(touched, t0 + seconds(2));
}

TEST(BoundedTable, FullTableForgetsTheLeastRecentlyTouchedEntry) {
    // Capacity 8 is one set: the ninth key must push out exactly one older key.
    BoundedTable<Count> table(8);
    const Clock::time_point t0{};
    for (std::uint64_t key = 0; key < 8; ++key) {
        table.update(key, t0 + seconds(key), [](Count& count, bool) { count.value = 1; });
    }
    // Key 0 is the oldest, but touching it again makes key 1 the oldest.
    table.update(0, t0 + seconds(10), [](Count&, bool) {});
    table.update(100, t0 + seconds(11), [](Count& count, bool isNew) { count.value = isNew ? 7 : -7; });
    EXPECT_EQ(countOf(table, 100), 7);
    EXPECT_EQ(countOf(table, 1), -1);
    for (std::uint64_t key : {0, 2, 3, 4, 5, 6, 7}) {
        EXPECT_EQ(countOf(table, key), 1) << key;
    }
}

TEST(BoundedTable, ManyKeysNeverGrowThePastCapacity) {
    BoundedTable<Count> table(64);
    const Clock::time_point t0{};
    for (std::uint64_t key = 0; key < 10000; ++key) {
        table.update(key, t0 + seconds(key), [](Count& count, bool) { count.value = 1; });
    }
    int present = 0;
    for (std::uint64_t key = 0; key < 10000; ++key) {
        present += countOf(table, key) == 1;
    }
    EXPECT_LE(present, 64);
    // The newest key is always kept: it was just touched.
    EXPECT_EQ(countOf(table, 9999), 1);
}

TEST(BoundedTable, ConcurrentUpdatesLoseNoIncrement) {
    BoundedTable<Count> table(1024);
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                table.update(static_cast<std::uint64_t>(i % 16), Clock::now(),
                             [](Count& count, bool) { ++count.value; });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int total = 0;
    for (std::uint64_t key = 0; key < 16; ++key) {
        total += countOf(table, key);
    }
    EXPECT_EQ(total, kThreads * kRounds);
}

}  // namespace
}  // namespace server
}  // namespace tarn
