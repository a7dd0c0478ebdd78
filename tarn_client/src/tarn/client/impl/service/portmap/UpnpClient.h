#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "tarn/client/impl/service/portmap/PortMapping.h"

namespace tarn::client::impl::service::portmap {

// Asks the gateway's UPnP Internet Gateway Device for a UDP mapping, renews and deletes it. The
// search is our own short SSDP request to the gateway (unicast, and multicast on the local
// interface for routers that only listen there), never the library's seconds-long discovery; the
// device description and the control calls then go through libminiupnpc.
class UpnpClient {
public:
    using Clock = util::Clock;

    // Searches the gateway's device until the deadline, then maps unless granted was set by the
    // other protocols meanwhile. The device's own HTTP calls may run past the deadline: the caller
    // waits no longer than its own budget for them.
    // heard, when given, is set as soon as the device answered the search.
    static MapAttempt map(const MapTarget& target, const std::atomic<bool>* granted,
                          Clock::TimePoint deadline, std::atomic<bool>* heard = nullptr);
    // The same request again: UPnP renews a lease by adding the mapping anew.
    static MapAttempt renew(const MapTarget& target, const PortMapping& mapping);
    static bool remove(const PortMapping& mapping);
    // The LOCATION header of an SSDP answer; empty when there is none.
    static std::optional<std::string> locationOf(const std::string& answer);
};

}  // namespace tarn::client::impl::service::portmap
