#pragma once

#include <optional>
#include <string>

#include <boost/asio/ip/address_v4.hpp>

namespace tarn::client::impl::service::portmap {

// The router that datagrams to a destination leave through: the gateway of the most specific
// route towards it in the kernel's main routing table. None when the destination is on loopback
// or on a directly connected network, which is when nobody could map a port for us.
class Gateway {
public:
    using Address = boost::asio::ip::address_v4;

    // Reads the routing table of this host (Linux: /proc/net/route).
    static std::optional<Address> towards(const Address& destination);
    // The same decision on the text of a routing table in the /proc/net/route form: a header
    // line, then per route the interface, destination, gateway, flags, reference count, use,
    // metric and mask, the addresses as eight hex digits of the kernel's byte order. The longest
    // mask wins, then the lowest metric; routes that are down are skipped.
    static std::optional<Address> fromRouteTable(const std::string& table, const Address& destination);
};

}  // namespace tarn::client::impl::service::portmap
