#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

namespace tarn::client::impl::service::portmap {

// The bytes of a PCP MAP request and the decoding of what a mapper answers on its port: a PCP
// answer (version 2) or a NAT-PMP answer (version 0, which is also how a mapper that only speaks
// NAT-PMP refuses a PCP request). Plain values in, plain values out; no socket.
class PcpCodec {
public:
    using Address = boost::asio::ip::address_v4;
    using Nonce = std::array<std::uint8_t, 12>;

    // The port both protocols listen on at the gateway.
    static constexpr std::uint16_t kMapperPort = 5351;
    static constexpr std::uint8_t kPcpVersion = 2;
    static constexpr std::uint8_t kNatPmpVersion = 0;
    static constexpr std::uint8_t kOpMap = 1;
    // NAT-PMP opcodes: the external address, and a UDP mapping.
    static constexpr std::uint8_t kOpNatPmpAddress = 0;
    static constexpr std::uint8_t kOpNatPmpMapUdp = 1;
    // Result codes both protocols share by number for the values we act on.
    static constexpr std::uint16_t kSuccess = 0;
    static constexpr std::uint16_t kUnsupportedVersion = 1;
    // A PCP MAP request is 24 bytes of header and 36 of MAP payload.
    static constexpr std::size_t kMapRequestSize = 60;

    // What a MAP request asks for: a UDP mapping of internalPort on client, for lifetimeSeconds
    // (0 deletes the mapping the nonce names), suggesting suggestedPort/suggestedAddress (0 and
    // 0.0.0.0: no preference).
    struct MapRequest {
        Nonce nonce{};
        Address client;
        std::uint16_t internalPort = 0;
        std::uint32_t lifetimeSeconds = 0;
        std::uint16_t suggestedPort = 0;
        Address suggestedAddress;
    };

    // A decoded answer. Fields a version's opcode does not carry stay at their defaults.
    struct Answer {
        std::uint8_t version = 0;
        // Without the answer bit (128).
        std::uint8_t opcode = 0;
        std::uint16_t result = 0;
        std::uint32_t lifetimeSeconds = 0;
        // Seconds since the mapper's state began; going back means it lost its mappings.
        std::uint32_t epochSeconds = 0;
        Nonce nonce{};
        std::uint8_t protocol = 0;
        std::uint16_t internalPort = 0;
        std::uint16_t externalPort = 0;
        // Unset when the answer carries none or an IPv6 one.
        std::optional<Address> externalAddress;
    };

    static std::vector<std::uint8_t> encodeMap(const MapRequest& request);
    // Empty for anything that is not a whole answer of a known version and opcode: too short, the
    // answer bit unset, an unknown opcode, or an unknown version.
    static std::optional<Answer> decode(const std::uint8_t* bytes, std::size_t size);
};

}  // namespace tarn::client::impl::service::portmap
