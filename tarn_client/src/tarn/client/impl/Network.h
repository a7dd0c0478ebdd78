#pragma once

#include <string>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl {

// Endpoint helpers shared by discovery, the messengers and the connectors. IPv4 only.
class Network {
public:
    using Endpoint = generated::Endpoint;
    using EndpointList = generated::EndpointList;

    // Dotted text first, then a host-name look-up (first IPv4 entry). Never throws.
    static bool resolveAddress(const std::string& text, boost::asio::ip::address_v4& address);
    // Throws ConnectionException for empty or unresolvable text and for a negative port; a port
    // above 65535 keeps its low 16 bits.
    static void initEndpoint(const std::string& text, int port, Endpoint& endpoint);
    static void initEndpoint(const boost::asio::ip::address_v4& address, int port, Endpoint& endpoint);
    // Dotted IPv4 text and a port 1..65535 only, with no name look-up; false for anything else.
    static bool parseEndpoint(const std::string& text, int port, Endpoint& endpoint);
    // Appends S1..S4 (addr.1:port.1, addr.1:port.2, addr.2:port.1, addr.2:port.2) for the
    // configured addresses that resolve.
    static void getServerEndpoints(EndpointList& servers);
    // Appends one endpoint per IPv4 address of the interfaces that are up, non-loopback first,
    // skipping 0.0.0.0. Throws ConnectionException when they cannot be determined.
    static void getLocalAddresses(int port, EndpointList& endpoints);
    // The dotted subnet mask of the interface that holds address, "" when no interface that is up
    // holds it or the platform does not tell.
    static std::string subnetMask(const std::string& address);
    // "\n[\n\t10.0.0.1:0\n]": the form every log line uses for endpoint lists.
    static std::string endpointsToString(const EndpointList& endpoints);
};

}  // namespace tarn::client::impl
