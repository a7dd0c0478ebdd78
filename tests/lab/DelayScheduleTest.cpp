#include "DelaySchedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarn::lab::delayline {
namespace {

using std::chrono::milliseconds;

constexpr int kArrivals = 1000;
const Clock::time_point kStart{std::chrono::seconds(100)};

TEST(DelaySchedule, DeadlinesFollowTheShape) {
    struct Row {
        const char* name;
        DelayShape shape;
        milliseconds arrivalGap;
        milliseconds earliest;  ///< the least delay any packet may get
        milliseconds latest;    ///< the most
        bool inOrder;
        int lost;
    };
    DelayShape plain;
    plain.delay = milliseconds(30);
    DelayShape jittered = plain;
    jittered.jitter = milliseconds(10);
    DelayShape wide = plain;
    wide.jitter = milliseconds(30);
    DelayShape lossy = plain;
    lossy.lossPercent = 100;
    DelayShape reordered = jittered;
    reordered.reorderPercent = 100;
    const std::vector<Row> rows{
        {"fixed delay", plain, milliseconds(1), milliseconds(30), milliseconds(30), true, 0},
        // Order kept: a packet may wait for an earlier one's later draw, never beyond delay + jitter.
        {"jitter, order kept", jittered, milliseconds(1), milliseconds(20), milliseconds(40), true, 0},
        {"jitter as large as the delay", wide, milliseconds(0), milliseconds(0), milliseconds(60), true, 0},
        {"all lost", lossy, milliseconds(1), milliseconds(0), milliseconds(0), true, kArrivals},
        // Every packet out of order: its own draw plus the gap, bound to no other packet.
        {"all reordered", reordered, milliseconds(1), milliseconds(25), milliseconds(45), false, 0},
    };
    for (const Row& row : rows) {
        DelaySchedule schedule(row.shape, 7);
        int lost = 0;
        bool ordered = true;
        Clock::time_point previous{};
        for (int i = 0; i < kArrivals; ++i) {
            const Clock::time_point now = kStart + i * row.arrivalGap;
            const Verdict verdict = schedule.admit(now);
            if (verdict.kind == Verdict::Kind::LOST) {
                ++lost;
                continue;
            }
            EXPECT_GE(verdict.deadline - now, row.earliest) << row.name << ", packet " << i;
            EXPECT_LE(verdict.deadline - now, row.latest) << row.name << ", packet " << i;
            ordered = ordered && verdict.deadline >= previous;
            previous = verdict.deadline;
        }
        EXPECT_EQ(lost, row.lost) << row.name;
        EXPECT_EQ(ordered, row.inOrder) << row.name;
    }
}

TEST(DelaySchedule, TheSameSeedDrawsTheSameDeadlines) {
    DelayShape shape;
    shape.delay = milliseconds(100);
    shape.jitter = milliseconds(10);
    shape.lossPercent = 10;
    DelaySchedule first(shape, 3);
    DelaySchedule second(shape, 3);
    for (int i = 0; i < kArrivals; ++i) {
        const Verdict a = first.admit(kStart + milliseconds(i));
        const Verdict b = second.admit(kStart + milliseconds(i));
        ASSERT_EQ(a.kind, b.kind) << "packet " << i;
        ASSERT_EQ(a.deadline, b.deadline) << "packet " << i;
    }
}

}  // namespace
}  // namespace tarn::lab::delayline
