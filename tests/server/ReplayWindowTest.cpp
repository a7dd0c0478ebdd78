#include "tarn/server/ReplayWindow.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using Verdict = ReplayWindow::Verdict;

TEST(ReplayWindow, EachNumberOfASenderIsTakenOnce) {
    const FleetSeal::Hop a{0x7F000001, 4000};
    const FleetSeal::Hop b{0x7F000001, 4001};  // the same address, another port: another sender
    constexpr std::uint64_t kFirst = 1'000'000;
    constexpr std::int64_t kForget = ReplayWindow::kForget.count();
    const struct {
        const char* what;
        FleetSeal::Hop sender;
        std::uint64_t sequence;
        std::int64_t atMs;
        Verdict verdict;
    } rows[] = {
        {"a new sender", a, kFirst, 0, Verdict::FIRST},
        {"the same again", a, kFirst, 1, Verdict::REPLAYED},
        {"the same number from another sender", b, kFirst, 1, Verdict::FIRST},
        {"a later number", a, kFirst + 5, 2, Verdict::FIRST},
        {"one that was overtaken", a, kFirst + 2, 2, Verdict::FIRST},
        {"it again", a, kFirst + 2, 3, Verdict::REPLAYED},
        {"far ahead", a, kFirst + 5 + ReplayWindow::kWidth, 4, Verdict::FIRST},
        {"the oldest still kept", a, kFirst + 6, 4, Verdict::FIRST},
        {"below the numbers kept", a, kFirst + 5, 4, Verdict::TOO_OLD},
        {"a sender started again with its clock set back", a, 7, 4 + kForget, Verdict::TOO_OLD},
        {"taken once the sender was silent long enough", a, 7, 5 + kForget, Verdict::FIRST},
    };
    ReplayWindow window;
    for (const auto& row : rows) {
        EXPECT_EQ(window.admit(row.sender, row.sequence, row.atMs), row.verdict) << row.what;
    }
    // Full of live senders, a new one is refused until the others fall silent.
    ReplayWindow full;
    for (std::uint16_t port = 0; full.size() < ReplayWindow::kMaxSenders; ++port) {
        ASSERT_EQ(full.admit({1, port}, 1, 0), Verdict::FIRST);
    }
    EXPECT_EQ(full.admit({2, 0}, 1, kForget), Verdict::FULL);
    EXPECT_EQ(full.admit({2, 0}, 1, kForget + 1), Verdict::FIRST);
    EXPECT_EQ(full.size(), 1u);
}

}  // namespace
}  // namespace server
}  // namespace tarn
