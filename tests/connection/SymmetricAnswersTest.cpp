#include "tarn/client/impl/service/connection/SymmetricAnswers.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::connection::SymmetricAnswers;

TEST(SymmetricAnswers, ReleaseTable) {
    struct Block {
        std::size_t block;
        int wanted, burn, skip;
        bool cut;
    };
    struct Row {
        const char* what;
        std::vector<bool> came;
        std::vector<int> firsts;
        int blockSize, taken, burnLeft;
        bool roundOver;
        std::vector<Block> blocks;
        std::size_t next;
    };
    const std::vector<int> plain{1, 5, 9};
    // Blocks of 4 with a lead of 2: first positions 3, 9, 15.
    const std::vector<int> ahead{3, 9, 15};
    const Row rows[] = {
        {"no ping yet", {false, false, false}, plain, 4, 0, 16, false, {}, 0},
        {"the first on a quiet NAT", {true, false, false}, plain, 4, 0, 16, false, {{0, 0, 0, 0, false}}, 1},
        {"the second waits for the first", {false, true, false}, plain, 4, 0, 16, false, {}, 0},
        {"round over: the first given up, the second uses its ports", {false, true, false}, plain, 4, 0, 16, true,
         {{1, 4, 4, 0, false}}, 3},
        {"the lead used up before each block", {true, true, false}, ahead, 4, 0, 16, false,
         {{0, 2, 2, 0, false}, {1, 2, 2, 0, false}}, 2},
        {"others took more than the lead", {true, true, false}, ahead, 4, 5, 16, false,
         {{0, 0, 0, 3, false}, {1, 2, 2, 0, false}}, 2},
        {"counter unknown: in order", {true, true, true}, ahead, 4, -1, 16, false,
         {{0, 0, 0, 0, false}, {1, 0, 0, 0, false}, {2, 0, 0, 0, false}}, 3},
        {"a far block is cut to its size", {false, false, true}, {1, 10, 30}, 2, 0, 8, true, {{2, 29, 2, 0, true}},
         3},
        {"the round's budget runs out", {true, true}, {4, 10}, 2, 0, 3, false,
         {{0, 3, 2, 0, true}, {1, 5, 1, 0, true}}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const SymmetricAnswers::Release plan =
            SymmetricAnswers::planRelease(0, row.came, row.firsts, row.blockSize, row.taken, row.burnLeft,
                                          row.roundOver);
        EXPECT_EQ(row.next, plan.nextBlock);
        ASSERT_EQ(row.blocks.size(), plan.blocks.size());
        for (std::size_t i = 0; i < row.blocks.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(row.blocks[i].block, plan.blocks[i].block);
            EXPECT_EQ(row.blocks[i].wanted, plan.blocks[i].at.wanted);
            EXPECT_EQ(row.blocks[i].burn, plan.blocks[i].at.burn);
            EXPECT_EQ(row.blocks[i].skip, plan.blocks[i].at.skip);
            EXPECT_EQ(row.blocks[i].cut, plan.blocks[i].at.cut);
        }
    }
}

TEST(SymmetricAnswers, SlotTable) {
    using Slot = SymmetricAnswers::Slot;
    constexpr Slot A = Slot::ANSWER;
    constexpr Slot U = Slot::USE_UP;
    struct Row {
        const char* what;
        std::vector<bool> answeredBefore;
        bool firstHalf;
        int burnLeft;
        std::vector<Slot> slots;
    };
    const Row rows[] = {
        {"fresh targets all answer", {false, false, false, false}, false, 0, {A, A, A, A}},
        {"first half of an odd block", {false, false, false}, true, 8, {A, A, U}},
        {"one target answers whole", {false}, true, 0, {A}},
        {"answered targets keep the later ones in place", {true, true, false, false}, false, 8, {U, U, A, A}},
        {"an answered target inside the block", {false, true, false}, false, 8, {A, U, A}},
        {"the budget ends the block", {true, true, false}, false, 1, {U}},
        {"the budget ends the second half", {false, false, false, false}, true, 1, {A, A, U}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.slots, SymmetricAnswers::planSlots(row.answeredBefore, row.firstHalf, row.burnLeft));
    }
}

}  // namespace
