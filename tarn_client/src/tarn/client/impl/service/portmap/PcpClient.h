#pragma once

#include <atomic>
#include <chrono>

#include "tarn/client/impl/service/portmap/PortMapping.h"

namespace tarn::client::impl::service::portmap {

// Asks a gateway's PCP server for a UDP mapping, renews and deletes it. Each call opens its own
// socket, bound to the target's local address (the server maps for the address it sees), and
// returns by the deadline at the latest.
class PcpClient {
public:
    using Clock = util::Clock;

    // A new mapping, or with renewing the renewal of that one (same nonce, its port suggested).
    // DENIED with a NAT-PMP answer (version 0) means the gateway speaks NAT-PMP only.
    // Once cancel is set it sends no more and ends as SILENT within MapperSocket::kCancelStep.
    static MapAttempt map(const MapTarget& target, const PortMapping* renewing, Clock::TimePoint deadline,
                          const std::atomic<bool>* cancel = nullptr);
    // Deletes the mapping (lifetime 0, its nonce); true when the server confirmed.
    static bool remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline);
};

}  // namespace tarn::client::impl::service::portmap
