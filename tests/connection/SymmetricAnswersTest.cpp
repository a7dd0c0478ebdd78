#include "tarn/client/impl/service/connection/SymmetricAnswers.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::connection::SymmetricAnswers;

TEST(SymmetricAnswers, ReleaseTable) {
    using Targets = SymmetricAnswers::BlockTargets;
    struct Block {
        std::size_t block;
        int wanted, burn, skip;
        bool cut;
        int usedUp;  // slots whose port is used up
    };
    struct Row {
        const char* what;
        std::vector<bool> came;
        std::vector<int> firsts;
        int blockSize, taken, burnLeft;
        bool roundOver;
        std::vector<Block> blocks;
        std::size_t next;
        // Per block; those not given may answer blockSize fresh targets.
        std::vector<Targets> targets;
    };
    const std::vector<int> plain{1, 5, 9};
    // Blocks of 4 with a lead of 2: first positions 3, 9, 15.
    const std::vector<int> ahead{3, 9, 15};
    const Targets halved{{false, false, false, false}, true};
    const Row rows[] = {
        {"no ping yet", {false, false, false}, plain, 4, 0, 16, false, {}, 0, {}},
        {"the first on a quiet NAT", {true, false, false}, plain, 4, 0, 16, false, {{0, 0, 0, 0, false, 0}}, 1,
         {}},
        {"the second waits for the first", {false, true, false}, plain, 4, 0, 16, false, {}, 0, {}},
        {"round over: the first given up, the second uses its ports", {false, true, false}, plain, 4, 0, 16, true,
         {{1, 4, 4, 0, false, 0}}, 3, {}},
        {"the lead used up before each block", {true, true, false}, ahead, 4, 0, 16, false,
         {{0, 2, 2, 0, false, 0}, {1, 2, 2, 0, false, 0}}, 2, {}},
        {"others took more than the lead", {true, true, false}, ahead, 4, 5, 16, false,
         {{0, 0, 0, 3, false, 0}, {1, 2, 2, 0, false, 0}}, 2, {}},
        {"counter unknown: in order", {true, true, true}, ahead, 4, -1, 16, false,
         {{0, 0, 0, 0, false, 0}, {1, 0, 0, 0, false, 0}, {2, 0, 0, 0, false, 0}}, 3, {}},
        {"a far block is cut to its size", {false, false, true}, {1, 10, 30}, 2, 0, 8, true,
         {{2, 29, 2, 0, true, 0}}, 3, {}},
        {"the round's budget runs out", {true, true}, {4, 10}, 2, 0, 3, false,
         {{0, 3, 2, 0, true, 0}, {1, 5, 1, 0, true, 0}}, 2, {}},
        // 2 + 4 + 2 ports used up within the pass's 2 blocks; the third block alone is cut.
        {"a halved block's used-up half counts against the release", {true, false, true, false, true},
         {1, 5, 9, 13, 17}, 4, 0, 8, true,
         {{0, 0, 0, 0, false, 2}, {2, 4, 4, 0, false, 0}, {4, 4, 2, 0, true, 0}}, 5, {halved}},
        {"a peer naming fewer targets: the next block still meets its ports", {true, true}, {1, 5}, 4, 0, 16, false,
         {{0, 0, 0, 0, false, 0}, {1, 2, 2, 0, false, 0}}, 2, {{{false, false}, false}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Targets> targets = row.targets;
        targets.resize(row.came.size(), {std::vector<bool>(static_cast<std::size_t>(row.blockSize)), false});
        const SymmetricAnswers::Release plan = SymmetricAnswers::planRelease(
            0, row.came, row.firsts, targets, row.blockSize, row.taken, row.burnLeft, row.roundOver);
        EXPECT_EQ(row.next, plan.nextBlock);
        ASSERT_EQ(row.blocks.size(), plan.blocks.size());
        int usedUp = 0;
        for (std::size_t i = 0; i < row.blocks.size(); ++i) {
            SCOPED_TRACE(i);
            const auto& send = plan.blocks[i];
            EXPECT_EQ(row.blocks[i].block, send.block);
            EXPECT_EQ(row.blocks[i].wanted, send.at.wanted);
            EXPECT_EQ(row.blocks[i].burn, send.at.burn);
            EXPECT_EQ(row.blocks[i].skip, send.at.skip);
            EXPECT_EQ(row.blocks[i].cut, send.at.cut);
            const int slotsUsedUp = static_cast<int>(
                std::count(send.slots.begin(), send.slots.end(), SymmetricAnswers::Slot::USE_UP));
            EXPECT_EQ(row.blocks[i].usedUp, slotsUsedUp);
            usedUp += send.at.burn + slotsUsedUp;
        }
        EXPECT_LE(usedUp, std::max(row.burnLeft, 0));
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
