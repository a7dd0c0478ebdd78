#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/client/impl/util/Clock.h"

namespace tarn::client::impl::service::portmap {

// One UDP socket that talks to one service at the gateway, for the mapping protocols. Bound to
// the local address the mapping is for; the gateway's ICMP refusal shows as a refused receive.
// Closed by the destructor.
class MapperSocket {
public:
    using Address = boost::asio::ip::address_v4;

    enum class Wait { DATAGRAM, REFUSED, TIMEOUT, FAILED };
    // CONNECTED takes answers from the service's own port only; ANY_PORT from any port of the
    // service's address (an SSDP answer may come from a fresh socket of the router), dropping
    // every other sender.
    enum class Source { CONNECTED, ANY_PORT };

    MapperSocket(const Address& local, const Address& remote, std::uint16_t remotePort,
                 Source source = Source::CONNECTED);
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
    // Waits until a datagram arrives (then in bytes), the service refuses, clock reaches until, or
    // cancel (when given) is set, which ends the wait as TIMEOUT within kCancelStep.
    Wait receive(std::vector<std::uint8_t>& bytes, util::Clock& clock, util::Clock::TimePoint until,
                 const std::atomic<bool>* cancel = nullptr);

    // How long a cancelled wait may still block: a stopping mapper leaves its exchanges this soon.
    static constexpr std::chrono::milliseconds kCancelStep{10};

private:
    // ANY_PORT: reads the error queue that IP_RECVERR fills, which poll reports until it is read.
    void drainErrors();

    int fd = -1;
    Source source;
    Address remote;
    std::uint16_t remotePort;
    std::string failure;
};

}  // namespace tarn::client::impl::service::portmap
