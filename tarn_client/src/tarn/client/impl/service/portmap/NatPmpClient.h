#pragma once

#include <atomic>
#include <chrono>
#include <optional>

#include "tarn/client/impl/service/portmap/PortMapping.h"

namespace tarn::client::impl::service::portmap {

// Asks a gateway's NAT-PMP server (through libnatpmp) for its external address and a UDP mapping,
// renews and deletes it. Each call opens its own socket and returns by the deadline at the latest,
// or within MapperSocket::kCancelStep of cancel (when given) being set, as SILENT. An answer counts
// only when its opcode answers the request sent (a late answer to an earlier request is dropped).
class NatPmpClient {
public:
    using Clock = util::Clock;

    // The external address alone: GRANTED (with mapping.externalAddress) when the server answered.
    // Maps nothing, so it can go out beside a PCP request for the same port.
    static MapAttempt askAddress(const MapTarget& target, Clock::TimePoint deadline,
                                 const std::atomic<bool>* cancel = nullptr);
    using Address = boost::asio::ip::address_v4;

    // The external address (unless given, as askAddress found it), then the mapping (renewing: the
    // same ports again). A mapping request left unanswered is followed by its deletion, unanswered.
    static MapAttempt map(const MapTarget& target, const PortMapping* renewing, Clock::TimePoint deadline,
                          const std::atomic<bool>* cancel = nullptr, std::optional<Address> external = {});
    // Deletes the mapping (lifetime 0); true when the server confirmed.
    static bool remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline);
};

}  // namespace tarn::client::impl::service::portmap
