#include "Ipv4Header.h"

#include <algorithm>

namespace tarn::lab::delayline {

namespace {

constexpr std::size_t kMinHeaderBytes = 20;
constexpr std::size_t kTtlOffset = 8;
constexpr std::size_t kChecksumOffset = 10;
constexpr unsigned kMaxTtl = 255;

std::size_t headerLength(const std::uint8_t* bytes) {
    return std::size_t{bytes[0] & 0x0Fu} * 4;
}

}  // namespace

HeaderProblem checkIpv4(const std::uint8_t* bytes, std::size_t size) {
    if (size < 1 || (bytes[0] >> 4) != 4) {
        return HeaderProblem::NOT_IPV4;
    }
    if (size < kMinHeaderBytes || headerLength(bytes) < kMinHeaderBytes || headerLength(bytes) > size) {
        return HeaderProblem::TRUNCATED;
    }
    return HeaderProblem::NONE;
}

void creditTtl(std::uint8_t* bytes, unsigned credit) {
    if (credit == 0) {
        return;
    }
    bytes[kTtlOffset] = static_cast<std::uint8_t>(std::min(kMaxTtl, bytes[kTtlOffset] + credit));
    bytes[kChecksumOffset] = 0;
    bytes[kChecksumOffset + 1] = 0;
    const std::uint16_t sum = headerChecksum(bytes, headerLength(bytes));
    bytes[kChecksumOffset] = static_cast<std::uint8_t>(sum >> 8);
    bytes[kChecksumOffset + 1] = static_cast<std::uint8_t>(sum & 0xFF);
}

std::uint16_t headerChecksum(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += (std::uint32_t{bytes[i]} << 8) | bytes[i + 1];
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace tarn::lab::delayline
