#pragma once

#include <optional>

#include <boost/asio/ip/address_v4.hpp>

namespace tarn::client::impl::service::portmap {

// Whether a router's mapping reaches the internet: only when the external address it reports is
// the public address the rendezvous service sees. Anything else means another NAT stands between
// the router and the internet, and the mapping opens a port on a network nobody else reaches.
class MappingTrust {
public:
    using Address = boost::asio::ip::address_v4;

    enum class Verdict {
        // The router's external address is our public address: anyone may reach the mapping.
        USABLE,
        // The router reported no address, or 0.0.0.0.
        UNSPECIFIED,
        // A private (10/8, 172.16/12, 192.168/16), link-local or loopback address.
        PRIVATE,
        // The carriers' shared range 100.64.0.0/10.
        CARRIER_GRADE,
        // A public address, but not the one the rendezvous service sees.
        DIFFERENT
    };

    static Verdict judge(const std::optional<Address>& external, const Address& publicSeen);
    // The reason a verdict gives for not using the mapping, for the log; "usable" for USABLE.
    static const char* describe(Verdict verdict);
};

}  // namespace tarn::client::impl::service::portmap
