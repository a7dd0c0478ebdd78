#include "tarn/client/impl/service/portmap/Gateway.h"

#include <cstdint>
#include <fstream>
#include <sstream>

#include <boost/asio/detail/socket_ops.hpp>

namespace tarn::client::impl::service::portmap {

namespace {

const char* const kRouteTable = "/proc/net/route";
const unsigned kRouteUp = 0x1;
const unsigned kRouteViaGateway = 0x2;

// The table prints each address as the 32-bit value that holds its bytes in network order.
bool readAddress(const std::string& hex, std::uint32_t& hostOrder) {
    if (hex.size() != 8) {
        return false;
    }
    std::uint32_t value = 0;
    std::istringstream in(hex);
    if (!(in >> std::hex >> value)) {
        return false;
    }
    hostOrder = boost::asio::detail::socket_ops::network_to_host_long(value);
    return true;
}

int prefixLength(std::uint32_t mask) {
    int length = 0;
    while (mask & 0x80000000u) {
        ++length;
        mask <<= 1;
    }
    return length;
}

}  // namespace

std::optional<Gateway::Address> Gateway::towards(const Address& destination) {
    if (destination.is_loopback() || destination.is_unspecified()) {
        return std::nullopt;
    }
    std::ifstream in(kRouteTable);
    std::ostringstream table;
    table << in.rdbuf();
    return fromRouteTable(table.str(), destination);
}

std::optional<Gateway::Address> Gateway::fromRouteTable(const std::string& table,
                                                        const Address& destination) {
    if (destination.is_loopback()) {
        return std::nullopt;
    }
    const std::uint32_t target = destination.to_uint();
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the header
    int bestLength = -1;
    long bestMetric = 0;
    // 0: the best route so far is directly connected (or none was found).
    std::uint32_t bestGateway = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, dest, gateway, flagsText, refs, use, metricText, maskText;
        if (!(fields >> iface >> dest >> gateway >> flagsText >> refs >> use >> metricText >> maskText)) {
            continue;
        }
        std::uint32_t net = 0, via = 0, mask = 0;
        unsigned flags = 0;
        long metric = 0;
        std::istringstream flagsIn(flagsText), metricIn(metricText);
        if (!readAddress(dest, net) || !readAddress(gateway, via) || !readAddress(maskText, mask) ||
            !(flagsIn >> std::hex >> flags) || !(metricIn >> metric) || (flags & kRouteUp) == 0 ||
            (target & mask) != (net & mask)) {
            continue;
        }
        const int length = prefixLength(mask);
        if (length > bestLength || (length == bestLength && metric < bestMetric)) {
            bestLength = length;
            bestMetric = metric;
            bestGateway = (flags & kRouteViaGateway) != 0 ? via : 0;
        }
    }
    if (bestGateway == 0) {
        return std::nullopt;
    }
    return Address(bestGateway);
}

}  // namespace tarn::client::impl::service::portmap
