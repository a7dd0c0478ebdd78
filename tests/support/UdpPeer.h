#pragma once

#include <poll.h>

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/MessageHelpers.h"

namespace tarn::test {

using Endpoint = boost::asio::ip::udp::endpoint;
using Bytes = std::vector<unsigned char>;

// An IPv4 endpoint; the port keeps its low sixteen bits.
inline Endpoint endpoint(const std::string& address, int port) {
    return Endpoint(boost::asio::ip::make_address_v4(address), static_cast<unsigned short>(port));
}

// "address:port", as the library's log lines write an endpoint.
inline std::string text(const Endpoint& at) {
    return at.address().to_string() + ":" + std::to_string(at.port());
}

// One datagram as the peer saw it: where it came from, its bytes and, if they decode, the message.
struct Received {
    Endpoint from;
    Bytes bytes;
    bool decoded = false;
    generated::Content message;
};

// Another party on a loopback UDP socket, as a test plays it: a client of the rendezvous server,
// a peer of the game, or a broken or hostile sender with bytes that need not decode. Needs only
// the wire messages, not the client library. Every datagram comes in through receive(), the one
// place where a peer that drops chosen datagrams would filter them.
class UdpPeer {
public:
    explicit UdpPeer(const std::string& address = "127.0.0.1", int port = 0)
        : socket(io, endpoint(address, port)), bound(socket.local_endpoint()) {}

    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    const Endpoint& local() const { return bound; }
    int port() const { return bound.port(); }

    void sendBytes(const Endpoint& to, const Bytes& bytes) { socket.send_to(boost::asio::buffer(bytes), to); }

    void send(const Endpoint& to, const generated::Content& message) { sendBytes(to, encode(message)); }

    // Waits up to timeoutMs for one datagram; false when none came.
    bool receive(Received& out, int timeoutMs = 2000) {
        if (!readable(timeoutMs)) {
            return false;
        }
        out.bytes.assign(kLargestDatagram, 0);
        boost::system::error_code error;
        const std::size_t size = socket.receive_from(boost::asio::buffer(out.bytes), out.from, 0, error);
        if (error) {
            return false;
        }
        out.bytes.resize(size);
        out.decoded = generated::parseMessage(out.message, out.bytes.data(), out.bytes.size());
        return true;
    }

    // Whether a datagram is queued right now.
    bool pending() { return readable(0); }

    static Bytes encode(const generated::Content& message) {
        Bytes bytes(kLargestDatagram);
        bytes.resize(generated::serializeMessage(message, bytes.data(), bytes.size()));
        return bytes;
    }

private:
    static constexpr std::size_t kLargestDatagram = 64 * 1024;

    // The socket stays blocking; poll bounds each wait instead.
    bool readable(int timeoutMs) {
        pollfd polled{socket.native_handle(), POLLIN, 0};
        return ::poll(&polled, 1, timeoutMs) > 0;
    }

    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
    Endpoint bound;
};

}  // namespace tarn::test
