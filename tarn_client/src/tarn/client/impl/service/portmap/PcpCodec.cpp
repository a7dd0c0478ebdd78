#include "tarn/client/impl/service/portmap/PcpCodec.h"

#include <algorithm>

namespace tarn::client::impl::service::portmap {

namespace {

const std::uint8_t kAnswerBit = 0x80;
const std::uint8_t kUdp = 17;
const std::size_t kPcpHeaderSize = 24;
const std::size_t kMapPayloadSize = 36;
// NAT-PMP: a refusal is the 8-byte common part; the address answer adds 4 bytes, the mapping 8.
const std::size_t kNatPmpCommonSize = 8;
const std::size_t kNatPmpAddressSize = 12;
const std::size_t kNatPmpMappingSize = 16;

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    put16(out, at, value >> 16);
    put16(out, at + 2, value & 0xFFFF);
}

// An IPv4 address as the 16-byte IPv4-mapped IPv6 form both PCP address fields use.
void putMapped(std::vector<std::uint8_t>& out, std::size_t at, const PcpCodec::Address& address) {
    out[at + 10] = 0xFF;
    out[at + 11] = 0xFF;
    const auto bytes = address.to_bytes();
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<long>(at) + 12);
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t get32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(get16(p)) << 16) | get16(p + 2);
}

// The IPv4 address of an IPv4-mapped field; empty for any other IPv6 address.
std::optional<PcpCodec::Address> getMapped(const std::uint8_t* p) {
    static const std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (!std::equal(prefix, prefix + 12, p)) {
        return std::nullopt;
    }
    return PcpCodec::Address(PcpCodec::Address::bytes_type{p[12], p[13], p[14], p[15]});
}

std::optional<PcpCodec::Answer> decodePcp(const std::uint8_t* bytes, std::size_t size) {
    PcpCodec::Answer answer;
    answer.version = PcpCodec::kPcpVersion;
    answer.opcode = bytes[1] & ~kAnswerBit;
    // A refusal may come without the opcode's payload; only MAP is ever asked.
    if (answer.opcode != PcpCodec::kOpMap || size < kPcpHeaderSize) {
        return std::nullopt;
    }
    answer.result = bytes[3];
    answer.lifetimeSeconds = get32(bytes + 4);
    answer.epochSeconds = get32(bytes + 8);
    if (size < kPcpHeaderSize + kMapPayloadSize) {
        if (answer.result == PcpCodec::kSuccess) {
            return std::nullopt;
        }
        return answer;
    }
    const std::uint8_t* map = bytes + kPcpHeaderSize;
    std::copy(map, map + 12, answer.nonce.begin());
    answer.protocol = map[12];
    answer.internalPort = get16(map + 16);
    answer.externalPort = get16(map + 18);
    answer.externalAddress = getMapped(map + 20);
    return answer;
}

std::optional<PcpCodec::Answer> decodeNatPmp(const std::uint8_t* bytes, std::size_t size) {
    PcpCodec::Answer answer;
    answer.version = PcpCodec::kNatPmpVersion;
    answer.opcode = bytes[1] & ~kAnswerBit;
    if (size < kNatPmpCommonSize) {
        return std::nullopt;
    }
    answer.result = get16(bytes + 2);
    answer.epochSeconds = get32(bytes + 4);
    // A refusal, such as a PCP request's unsupported version, carries no more than the common part.
    if (answer.result != PcpCodec::kSuccess) {
        return answer;
    }
    if (answer.opcode == PcpCodec::kOpNatPmpAddress && size >= kNatPmpAddressSize) {
        answer.externalAddress =
            PcpCodec::Address(PcpCodec::Address::bytes_type{bytes[8], bytes[9], bytes[10], bytes[11]});
        return answer;
    }
    if (answer.opcode == PcpCodec::kOpNatPmpMapUdp && size >= kNatPmpMappingSize) {
        answer.protocol = kUdp;
        answer.internalPort = get16(bytes + 8);
        answer.externalPort = get16(bytes + 10);
        answer.lifetimeSeconds = get32(bytes + 12);
        return answer;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::uint8_t> PcpCodec::encodeMap(const MapRequest& request) {
    std::vector<std::uint8_t> out(kMapRequestSize, 0);
    out[0] = kPcpVersion;
    out[1] = kOpMap;
    put32(out, 4, request.lifetimeSeconds);
    putMapped(out, 8, request.client);
    std::copy(request.nonce.begin(), request.nonce.end(), out.begin() + kPcpHeaderSize);
    out[kPcpHeaderSize + 12] = kUdp;
    put16(out, kPcpHeaderSize + 16, request.internalPort);
    put16(out, kPcpHeaderSize + 18, request.suggestedPort);
    putMapped(out, kPcpHeaderSize + 20, request.suggestedAddress);
    return out;
}

std::optional<PcpCodec::Answer> PcpCodec::decode(const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size < 2 || (bytes[1] & kAnswerBit) == 0) {
        return std::nullopt;
    }
    switch (bytes[0]) {
        case kPcpVersion:
            return decodePcp(bytes, size);
        case kNatPmpVersion:
            return decodeNatPmp(bytes, size);
        default:
            return std::nullopt;
    }
}

}  // namespace tarn::client::impl::service::portmap
