#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/Network.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>

#if !defined(_WIN32)
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#endif

#include "tarn/client/ConnectionException.h"
#include "tarn/client/impl/Log.h"

namespace tarn::client::impl {

namespace {

const char* const kClassName = "tarn::client::impl::Network";
const char* const kLoggerName = "Network";

using boost::asio::ip::address_v4;
using boost::asio::ip::udp;

// IPv4 look-up of a host name; the first entry, or false.
bool lookUp(const std::string& name, address_v4& address) {
    boost::asio::io_context io;
    udp::resolver resolver(io);
    boost::system::error_code error;
    // No "address configured" flag: a host whose only IPv4 address is loopback must still resolve.
    const udp::resolver::results_type results =
        resolver.resolve(udp::v4(), name, "", udp::resolver::flags(), error);
    if (error || results.empty()) {
        return false;
    }
    address = results.begin()->endpoint().address().to_v4();
    return true;
}

#if defined(_WIN32)

// The platform's resolver lists every adapter address under the host's own name.
bool localAddresses(const std::string& hostName, std::vector<address_v4>& addresses) {
    boost::asio::io_context io;
    udp::resolver resolver(io);
    boost::system::error_code error;
    const udp::resolver::results_type results =
        resolver.resolve(udp::v4(), hostName, "", udp::resolver::flags(), error);
    if (error) {
        return false;
    }
    for (const auto& entry : results) {
        addresses.push_back(entry.endpoint().address().to_v4());
    }
    return true;
}

#else

// Resolving the host's own name here yields a fixed loopback alias, not the adapters; the interface
// list gives what a resolver lists elsewhere: adapters in interface order, loopback last.
bool localAddresses(const std::string&, std::vector<address_v4>& addresses) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    std::vector<address_v4> loopback;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        const address_v4 address(ntohl(in->sin_addr.s_addr));
        std::vector<address_v4>& target = (entry->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : addresses;
        // A resolver names each address once, even when two interfaces share it.
        if (std::find(target.begin(), target.end(), address) == target.end()) {
            target.push_back(address);
        }
    }
    addresses.insert(addresses.end(), loopback.begin(), loopback.end());
    return true;
}

#endif

// The mask of the interface holding address, or false.
bool interfaceMask(const address_v4& address, address_v4& mask) {
#if defined(_WIN32)
    (void)address;
    (void)mask;
    return false;
#else
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return false;
    }
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
            entry->ifa_addr->sa_family != AF_INET || (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (address_v4(ntohl(in->sin_addr.s_addr)) == address) {
            const auto* netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
            mask = address_v4(ntohl(netmask->sin_addr.s_addr));
            return true;
        }
    }
    return false;
#endif
}

}  // namespace

bool Network::resolveAddress(const std::string& text, address_v4& address) {
    boost::system::error_code error;
    const address_v4 dotted = boost::asio::ip::make_address_v4(text, error);
    if (!error) {
        address = dotted;
        return true;
    }
    return lookUp(text, address);
}

void Network::initEndpoint(const std::string& text, int port, Endpoint& endpoint) {
    if (text.empty()) {
        throw ConnectionException(kClassName, "initEndpoint000",
                                  Log::format("Illegal IP address value: %1%", text));
    }
    address_v4 address;
    if (!resolveAddress(text, address)) {
        throw ConnectionException(kClassName, "initEndpoint001",
                                  Log::format("Cannot initialize endpoint: %1%:%2%", text, port));
    }
    initEndpoint(address, port, endpoint);
}

void Network::initEndpoint(const address_v4& address, int port, Endpoint& endpoint) {
    if (port < 0) {
        throw ConnectionException(kClassName, "initEndpoint010",
                                  Log::format("Illegal IP port value: %1%", port));
    }
    // Ports above 65535 are not refused: they keep their low 16 bits.
    endpoint = Endpoint(address, static_cast<unsigned short>(port));
}

bool Network::parseEndpoint(const std::string& text, int port, Endpoint& endpoint) {
    boost::system::error_code error;
    const address_v4 address = boost::asio::ip::make_address_v4(text, error);
    if (error || port < 1 || port > 65535) {
        return false;
    }
    endpoint = Endpoint(address, static_cast<unsigned short>(port));
    return true;
}

void Network::getServerEndpoints(EndpointList& servers) {
    Configurator& configurator = ServiceRegistry::instance().getConfigurator();
    using service::configurator::Settings;
    const int ports[] = {static_cast<int>(Settings::kPort1.number(configurator)),
                         static_cast<int>(Settings::kPort2.number(configurator))};
    const std::string addresses[] = {Settings::kAddr1.text(configurator), Settings::kAddr2.text(configurator)};
    for (const std::string& text : addresses) {
        for (int port : ports) {
            address_v4 address;
            if (resolveAddress(text, address)) {
                Endpoint endpoint;
                initEndpoint(address, port, endpoint);
                servers.push_back(endpoint);
            }
        }
    }
}

void Network::getLocalAddresses(int port, EndpointList& endpoints) {
    boost::system::error_code error;
    const std::string hostName = boost::asio::ip::host_name(error);
    std::vector<address_v4> addresses;
    if (error || !localAddresses(hostName, addresses)) {
        throw ConnectionException(kClassName, "getLocalAddresses", "Cannot determine local addresses");
    }
    EndpointList found;
    for (const address_v4& address : addresses) {
        if (address.is_unspecified()) {
            continue;
        }
        Endpoint endpoint;
        initEndpoint(address, port, endpoint);
        found.push_back(endpoint);
    }
    endpoints.insert(endpoints.end(), found.begin(), found.end());
    Log::trace(kLoggerName, "getLocalAddresses", "IP addresses for %1% are %2%", hostName,
               endpointsToString(found));
}

std::string Network::subnetMask(const std::string& address) {
    boost::system::error_code error;
    const address_v4 parsed = boost::asio::ip::make_address_v4(address, error);
    address_v4 mask;
    if (error || !interfaceMask(parsed, mask)) {
        return "";
    }
    return mask.to_string();
}

std::string Network::endpointsToString(const EndpointList& endpoints) {
    return Log::listText(endpoints);
}

}  // namespace tarn::client::impl
