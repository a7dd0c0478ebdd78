#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/client/impl/util/Clock.h"

namespace tarn::client::impl::service::portmap {

// One UDP socket that talks to one service at the gateway, for the mapping protocols. Bound to
// the local address the mapping is for and connected to the service, so that the gateway's ICMP
// refusal shows as a refused receive. Closed by the destructor.
class MapperSocket {
public:
    using Address = boost::asio::ip::address_v4;

    enum class Wait { DATAGRAM, REFUSED, TIMEOUT, FAILED };

    MapperSocket(const Address& local, const Address& remote, std::uint16_t remotePort);
    ~MapperSocket();
    MapperSocket(const MapperSocket&) = delete;
    MapperSocket& operator=(const MapperSocket&) = delete;

    // Whether the socket could be opened, bound and connected; error() says why not.
    bool isOpen() const;
    const std::string& error() const;
    bool send(const std::vector<std::uint8_t>& bytes);
    // The same to a multicast group on the local address's interface, for two hops at most: past
    // our own router it means nothing.
    bool sendMulticast(const std::vector<std::uint8_t>& bytes, const Address& group, std::uint16_t port);
    // Waits until a datagram arrives (then in bytes), the service refuses, or clock reaches until.
    Wait receive(std::vector<std::uint8_t>& bytes, util::Clock& clock, util::Clock::TimePoint until);

private:
    int fd = -1;
    std::string failure;
};

}  // namespace tarn::client::impl::service::portmap
