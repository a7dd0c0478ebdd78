#include "tarn/server/FleetSeal.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using Check = FleetSeal::Check;

const FleetSeal kSeal("a secret of sixteen or more bytes");
const FleetSeal kOther("a secret of another fleet");
constexpr std::int64_t kNow = 1'800'000'000'000;
const std::string kKey = "tarn:allow:198.51.100.7:40000";
const std::string kServer = "203.0.113.1:13434";

TEST(FleetSeal, RecordsHoldOnlyUnderTheirKeyAndUntilTheyExpire) {
    const std::string valid = kSeal.recordValue(kKey, kServer, kNow + 1000);
    std::string tampered = valid;
    tampered[tampered.find("13434")] = '2';  // another port, the MAC unchanged
    const struct {
        const char* what;
        std::string key;
        std::string value;
        Check check;
    } rows[] = {
        {"as written", kKey, valid, Check::VALID},
        {"copied to another key", "tarn:allow:198.51.100.7:40001", valid, Check::FORGED},
        {"its server changed", kKey, tampered, Check::FORGED},
        {"sealed by another fleet", kKey, kOther.recordValue(kKey, kServer, kNow + 1000), Check::FORGED},
        {"expired", kKey, kSeal.recordValue(kKey, kServer, kNow), Check::STALE},
        {"unsealed, as an older server wrote it", kKey, kServer, Check::MALFORMED},
        {"a fourth word", kKey, valid + " x", Check::MALFORMED},
        {"an expiry that is no number", kKey, kServer + " soon " + std::string(64, 'a'), Check::MALFORMED},
    };
    for (const auto& row : rows) {
        const auto record = kSeal.openRecord(row.key, row.value, kNow);
        EXPECT_EQ(record.check, row.check) << row.what;
        EXPECT_EQ(record.server, row.check == Check::VALID ? kServer : "") << row.what;
    }
    // A member entry holds for 10 s, and no other kind of sealed text passes for one.
    EXPECT_EQ(kSeal.openMember(kSeal.memberEntry("203.0.113.1", kNow - 10000), kNow, 10000), "203.0.113.1");
    for (const auto& entry :
         {kSeal.memberEntry("203.0.113.1", kNow - 10001), kOther.memberEntry("203.0.113.1", kNow),
          kSeal.recordValue("", "203.0.113.1", kNow), std::string("203.0.113.1")}) {
        EXPECT_EQ(kSeal.openMember(entry, kNow, 10000), "") << entry;
    }
}

TEST(FleetSeal, ForwardsEndWithTheirSealAndHoldForAFewSeconds) {
    const std::vector<unsigned char> message = {0x08, 0x15, 0x22, 0x04, 0x09, 0x01, 0x11, 0x02};
    const FleetSeal::Hop from{0xCB007101, 13434};  // 203.0.113.1
    const FleetSeal::Hop to{0xC6336401, 13435};    // 198.51.100.1
    auto sealedAt = [&](const FleetSeal& seal, std::int64_t at) {
        auto bytes = message;
        EXPECT_TRUE(seal.sealForward(bytes, from, to, at));
        return bytes;
    };
    const auto valid = sealedAt(kSeal, kNow);
    const auto next = sealedAt(kSeal, kNow);
    ASSERT_EQ(valid.size(), message.size() + FleetSeal::kForwardSeal);
    EXPECT_EQ(valid[message.size()], 0x7A);  // field 15, length-delimited
    EXPECT_EQ(valid[message.size() + 1], 60);
    auto flipped = [&](std::size_t at) {
        auto bytes = valid;
        bytes[at] ^= 1;
        return bytes;
    };
    const struct {
        const char* what;
        std::vector<unsigned char> bytes;
        Check check;
    } rows[] = {
        {"fresh", valid, Check::VALID},
        {"5 s old", sealedAt(kSeal, kNow - 5000), Check::VALID},
        {"5 s ahead", sealedAt(kSeal, kNow + 5000), Check::VALID},
        {"5.001 s old", sealedAt(kSeal, kNow - 5001), Check::STALE},
        {"5.001 s ahead", sealedAt(kSeal, kNow + 5001), Check::STALE},
        {"sealed by another fleet", sealedAt(kOther, kNow), Check::FORGED},
        {"a byte of the message changed", flipped(0), Check::FORGED},
        {"another sender", flipped(message.size() + 12), Check::FORGED},
        {"a byte of the message missing", {valid.begin() + 1, valid.end()}, Check::FORGED},
        {"no seal", message, Check::UNSEALED},
        {"shorter than a seal", {valid.begin() + 1, valid.begin() + 61}, Check::UNSEALED},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kSeal.openForward(row.bytes.data(), row.bytes.size(), kNow).check, row.check) << row.what;
    }
    const auto opened = kSeal.openForward(valid.data(), valid.size(), kNow);
    EXPECT_TRUE(opened.from == from && opened.to == to);
    // Each forward sealed here takes the next number.
    EXPECT_EQ(kSeal.openForward(next.data(), next.size(), kNow).sequence, opened.sequence + 1);
}

// A MAC that cannot be made (here: a digest longer than the MAC) seals nothing and opens nothing,
// least of all a seal of zeros.
TEST(FleetSeal, AMacThatCannotBeMadeFailsClosed) {
    const FleetSeal broken("a secret of sixteen or more bytes", "SHA512");
    std::vector<unsigned char> forward = {0x08, 0x15};
    EXPECT_FALSE(broken.sealForward(forward, {1, 2}, {3, 4}, kNow));
    ASSERT_TRUE(kSeal.sealForward(forward, {1, 2}, {3, 4}, kNow));
    std::fill(forward.end() - FleetSeal::kMacSize, forward.end(), 0);
    EXPECT_EQ(broken.openForward(forward.data(), forward.size(), kNow).check, Check::FORGED);
    const std::string zeros(64, '0');
    EXPECT_EQ(broken.openRecord(kKey, kServer + " 1900000000000 " + zeros, kNow).check, Check::FORGED);
    EXPECT_EQ(broken.openMember("203.0.113.1 " + std::to_string(kNow) + " " + zeros, kNow, 10000), "");
}

}  // namespace
}  // namespace server
}  // namespace tarn
