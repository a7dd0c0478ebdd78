#pragma once

#include <boost/asio/ip/udp.hpp>

namespace tarn {
namespace server {

// An owned, bound IPv4 UDP socket descriptor. Receives never block (they pass MSG_DONTWAIT);
// sends block while the send buffer is full, which is the back-pressure a busy link needs.
class DatagramSocket {
public:
    using Endpoint = boost::asio::ip::udp::endpoint;

    // Binds to the endpoint (port 0: any free port). With shared set, several sockets of this
    // process can bind the same endpoint and the system spreads the senders over them.
    // bufferBytes (0: system default) sizes the receive and send buffers. Throws
    // std::system_error naming the endpoint when the socket cannot be created or bound.
    DatagramSocket(const Endpoint& endpoint, bool shared, unsigned bufferBytes);
    ~DatagramSocket();
    DatagramSocket(DatagramSocket&& other) noexcept;
    DatagramSocket& operator=(DatagramSocket&& other) noexcept;
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    int fd() const { return socketFd; }
    Endpoint localEndpoint() const;

private:
    int socketFd = -1;
};

}  // namespace server
}  // namespace tarn
