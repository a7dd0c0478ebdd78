#include "tarn/client/impl/service/portmap/PcpCodec.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tarn::client::impl::service::portmap::PcpCodec;
using Bytes = std::vector<std::uint8_t>;

TEST(PcpCodec, MapRequestBytes) {
    PcpCodec::MapRequest request;
    request.nonce = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    request.client = boost::asio::ip::make_address_v4("192.168.1.20");
    request.internalPort = 0x1234;
    request.lifetimeSeconds = 7200;
    request.suggestedPort = 0x1234;
    const Bytes expected = {
        2, 1, 0, 0,                                            // version 2, opcode MAP, reserved
        0, 0, 0x1C, 0x20,                                      // lifetime 7200 s
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 20,  // client ::ffff:192.168.1.20
        1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,                 // nonce
        17, 0, 0, 0,                                           // UDP, reserved
        0x12, 0x34, 0x12, 0x34,                                // internal and suggested port
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0,  // no suggested address
    };
    EXPECT_EQ(expected, PcpCodec::encodeMap(request));
}

TEST(PcpCodec, DecodesAnswersOfBothVersions) {
    Bytes pcpGranted = {
        2, 0x81, 0, 0,             // version 2, MAP answer, result SUCCESS
        0, 0, 0x0E, 0x10,          // lifetime 3600
        0, 0, 0x03, 0xE8,          // epoch 1000
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,  // nonce
        17, 0, 0, 0, 0x12, 0x34, 0x9C, 0x40,    // UDP, internal 0x1234, external 40000
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 203, 0, 113, 5,
    };
    const Bytes pcpRefused = {2, 0x81, 0, 8, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes natPmpVersion = {0, 0x81, 0, 1, 0, 0, 0, 9};           // unsupported version, epoch 9
    const Bytes natPmpAddress = {0, 0x80, 0, 0, 0, 0, 0, 9, 203, 0, 113, 5};
    const Bytes natPmpMapping = {0, 0x81, 0, 0, 0, 0, 0, 9, 0x12, 0x34, 0x9C, 0x40, 0, 0, 0x0E, 0x10};
    struct Row {
        const char* label;
        Bytes bytes;
        bool decodes;
        std::uint8_t version, opcode;
        std::uint16_t result, externalPort;
        std::uint32_t lifetime, epoch;
        bool hasAddress;
    };
    Bytes pcpIpv6 = pcpGranted;
    pcpIpv6[54] = 0x20;
    const Row rows[] = {
        {"PCP granted", pcpGranted, true, 2, 1, 0, 40000, 3600, 1000, true},
        {"PCP external IPv6", pcpIpv6, true, 2, 1, 0, 40000, 3600, 1000, false},
        {"PCP refusal without payload", pcpRefused, true, 2, 1, 8, 0, 0, 7, false},
        {"PCP success cut short", Bytes(pcpGranted.begin(), pcpGranted.begin() + 40), false, 0, 0, 0, 0, 0, 0, false},
        {"PCP request echoed (no answer bit)", Bytes{2, 1, 0, 0}, false, 0, 0, 0, 0, 0, 0, false},
        {"PCP other opcode", Bytes{2, 0x82, 0, 0}, false, 0, 0, 0, 0, 0, 0, false},
        {"NAT-PMP refuses the version", natPmpVersion, true, 0, 1, 1, 0, 0, 9, false},
        {"NAT-PMP address", natPmpAddress, true, 0, 0, 0, 0, 0, 9, true},
        {"NAT-PMP address cut short", Bytes(natPmpAddress.begin(), natPmpAddress.begin() + 10), false, 0, 0, 0, 0, 0, 0, false},
        {"NAT-PMP mapping", natPmpMapping, true, 0, 1, 0, 40000, 3600, 9, false},
        {"version 1", Bytes{1, 0x81, 0, 0, 0, 0, 0, 0}, false, 0, 0, 0, 0, 0, 0, false},
        {"one byte", Bytes{2}, false, 0, 0, 0, 0, 0, 0, false},
        {"empty", Bytes{}, false, 0, 0, 0, 0, 0, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const auto answer = PcpCodec::decode(row.bytes.data(), row.bytes.size());
        ASSERT_EQ(row.decodes, answer.has_value());
        if (!answer) {
            continue;
        }
        EXPECT_EQ(row.version, answer->version);
        EXPECT_EQ(row.opcode, answer->opcode);
        EXPECT_EQ(row.result, answer->result);
        EXPECT_EQ(row.externalPort, answer->externalPort);
        EXPECT_EQ(row.lifetime, answer->lifetimeSeconds);
        EXPECT_EQ(row.epoch, answer->epochSeconds);
        ASSERT_EQ(row.hasAddress, answer->externalAddress.has_value());
        if (row.hasAddress) {
            EXPECT_EQ("203.0.113.5", answer->externalAddress->to_string());
        }
    }
}

}  // namespace
