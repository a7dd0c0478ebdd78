#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/client/impl/service/portmap/PortMapping.h"

namespace tarn::client::impl::service::portmap {

// Asks the gateway's UPnP Internet Gateway Device for a UDP mapping, renews and deletes it. The
// search is our own short SSDP request to the gateway (unicast, and multicast on the local
// interface for routers that only listen there), never the library's seconds-long discovery; the
// device description and the control calls then go through libminiupnpc, whose HTTP calls have
// no deadline of their own: each runs on a thread of its own, which the caller abandons at its
// deadline. An abandoned call that still gets a mapping granted deletes it again.
class UpnpClient {
public:
    using Clock = util::Clock;
    using Address = boost::asio::ip::address_v4;

    // How long one step of the device's HTTP calls (its description and external address, or one
    // AddPortMapping with its read-back) may take before it is abandoned: a router's web server
    // answers within tens of milliseconds; a second covers a busy one.
    static constexpr std::chrono::milliseconds kCallBound{1000};

    // Searches the gateway's device until the deadline, then maps unless granted was set by the
    // other protocols meanwhile; ends by the deadline, or within MapperSocket::kCancelStep of
    // cancel being set. heard, when given, is set as soon as the device answered the search.
    static MapAttempt map(const MapTarget& target, const std::atomic<bool>* granted,
                          Clock::TimePoint deadline, std::atomic<bool>* heard = nullptr,
                          const std::atomic<bool>* cancel = nullptr);
    // The same request again: UPnP renews a lease by adding the mapping anew.
    static MapAttempt renew(const MapTarget& target, const PortMapping& mapping,
                            const std::atomic<bool>* cancel = nullptr);
    // False when the device did not confirm by the deadline.
    static bool remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline);
    // The LOCATION header of an SSDP answer; empty when there is none.
    static std::optional<std::string> locationOf(const std::string& answer);
    // Whether a device description at location may be fetched: its host is the gateway itself or
    // another address of the local network (local within netmask), which is one hop away. A name,
    // or an address elsewhere, would have us send HTTP requests wherever an answer points.
    static bool locationAllowed(const std::string& location, const Address& gateway, const Address& local,
                                const Address& netmask);
};

}  // namespace tarn::client::impl::service::portmap
