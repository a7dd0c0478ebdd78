#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/client/impl/service/portmap/PcpCodec.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/SteadyClock.h"

namespace tarn::client::impl::service::portmap {

enum class MappingProtocol { PCP, NAT_PMP, UPNP };

// "PCP", "NAT-PMP" or "UPnP-IGD".
const char* protocolName(MappingProtocol protocol);

// Where a mapping is asked for: the gateway's mapper, and the local socket it should forward to.
struct MapTarget {
    boost::asio::ip::address_v4 gateway;
    // The PCP port at the gateway (NAT-PMP's library always uses the standard one).
    std::uint16_t mapperPort = PcpCodec::kMapperPort;
    boost::asio::ip::address_v4 local;
    std::uint16_t internalPort = 0;
    std::chrono::seconds lease{0};
    // The time of the attempt's waits and resends and of its grant; it must outlive the attempt.
    util::Clock* clock = &util::SteadyClock::instance();
};

// A mapping a router granted, with what renewing and deleting it needs.
struct PortMapping {
    MappingProtocol protocol = MappingProtocol::PCP;
    std::optional<boost::asio::ip::address_v4> externalAddress;
    std::uint16_t externalPort = 0;
    std::uint16_t internalPort = 0;
    std::chrono::seconds lease{0};
    util::Clock::TimePoint grantedAt;
    // PCP and NAT-PMP: the mapper's epoch in the answer that granted or renewed the mapping.
    std::uint32_t epochSeconds = 0;
    // PCP: the nonce that names the mapping in renewals and its deletion.
    PcpCodec::Nonce nonce{};
    // UPnP-IGD: the service that holds the mapping.
    std::string controlUrl;
    std::string serviceType;
};

// One attempt of one protocol.
struct MapAttempt {
    enum class Outcome {
        GRANTED,
        // The gateway refused the datagram (ICMP unreachable): nothing listens for this protocol.
        REFUSED,
        // No answer before the deadline.
        SILENT,
        // The mapper answered but granted nothing (an error, an unsupported version or request).
        DENIED,
        // The router grants only leases without end, which a game must never leave behind.
        PERMANENT_ONLY
    };
    Outcome outcome = Outcome::SILENT;
    PortMapping mapping;
    // For the log: what the mapper said.
    std::string detail;
};

}  // namespace tarn::client::impl::service::portmap
