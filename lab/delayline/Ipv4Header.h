#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn::lab::delayline {

/// Why a packet read from the device cannot be forwarded as IPv4.
enum class HeaderProblem { NONE, NOT_IPV4, TRUNCATED };

/// The problem, if any, with bytes[0, size) as an IPv4 packet with a complete header.
HeaderProblem checkIpv4(const std::uint8_t* bytes, std::size_t size);

/// Adds `credit` to the TTL of a checked IPv4 packet (capped at 255) and recomputes its header checksum.
/// The kernel forwards a packet twice on its way through the device (into it and out of it again), so the
/// delay line gives one decrement back: the hop still counts once.
void creditTtl(std::uint8_t* bytes, unsigned credit);

/// The Internet checksum (RFC 1071) of a header of `length` bytes whose checksum field is zero.
std::uint16_t headerChecksum(const std::uint8_t* bytes, std::size_t length);

}  // namespace tarn::lab::delayline
