#include "Ipv4Header.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace tarn::lab::delayline {
namespace {

// A UDP datagram's IPv4 header with a correct checksum.
std::vector<std::uint8_t> header(std::uint8_t ttl) {
    std::vector<std::uint8_t> bytes{
        0x45, 0x00, 0x00, 0x73,  // version 4, IHL 5 words; DSCP; total length 115
        0x00, 0x00, 0x40, 0x00,  // identification; flags DF, fragment offset 0
        ttl,  0x11, 0x00, 0x00,  // TTL; protocol 17 (UDP); checksum, filled in below
        0xC0, 0xA8, 0x00, 0x01,  // source 192.168.0.1
        0xC0, 0xA8, 0x00, 0xC7,  // destination 192.168.0.199
    };
    const std::uint16_t sum = headerChecksum(bytes.data(), bytes.size());
    bytes[10] = static_cast<std::uint8_t>(sum >> 8);
    bytes[11] = static_cast<std::uint8_t>(sum & 0xFF);
    return bytes;
}

TEST(Ipv4Header, ChecksumMatchesAKnownHeader) {
    // The header above with TTL 64 carries checksum 0xB861.
    EXPECT_EQ(header(64)[10], 0xB8);
    EXPECT_EQ(header(64)[11], 0x61);
}

TEST(Ipv4Header, CreditRaisesTheTtlCappedAndKeepsTheChecksumValid) {
    struct Row {
        std::uint8_t ttl;
        unsigned credit;
        std::uint8_t expected;
    };
    for (const Row& row :
         std::array<Row, 5>{{{1, 1, 2}, {64, 1, 65}, {254, 1, 255}, {255, 1, 255}, {7, 0, 7}}}) {
        std::vector<std::uint8_t> bytes = header(row.ttl);
        creditTtl(bytes.data(), row.credit);
        EXPECT_EQ(bytes[8], row.expected) << "TTL " << int{row.ttl} << " + " << row.credit;
        // A header with a valid checksum sums to zero, checksum field included.
        EXPECT_EQ(headerChecksum(bytes.data(), bytes.size()), 0) << "TTL " << int{row.ttl};
    }
}

TEST(Ipv4Header, OnlyCompleteIpv4HeadersPass) {
    struct Row {
        std::vector<std::uint8_t> bytes;
        HeaderProblem expected;
    };
    std::vector<std::uint8_t> longer = header(9);
    longer[0] = 0x46;  // IHL 6 words: an option word the packet does not carry
    const std::vector<Row> rows{
        {header(9), HeaderProblem::NONE},
        {{}, HeaderProblem::NOT_IPV4},
        {{0x60, 0x00, 0x00, 0x00}, HeaderProblem::NOT_IPV4},  // version 6
        {{0x45, 0x00, 0x00}, HeaderProblem::TRUNCATED},       // shorter than any header
        {{0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, HeaderProblem::TRUNCATED},  // IHL 4
        {longer, HeaderProblem::TRUNCATED},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(checkIpv4(rows[i].bytes.data(), rows[i].bytes.size()), rows[i].expected) << "row " << i;
    }
}

}  // namespace
}  // namespace tarn::lab::delayline
