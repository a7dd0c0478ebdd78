#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

namespace tarn {
namespace test {

// An IPv4 endpoint; the port keeps its low sixteen bits.
inline boost::asio::ip::udp::endpoint endpoint(const std::string& address, int port) {
    return boost::asio::ip::udp::endpoint(boost::asio::ip::make_address_v4(address),
                                          static_cast<unsigned short>(port));
}

// "address:port", as the library's log lines write an endpoint.
inline std::string text(const boost::asio::ip::udp::endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// A plain socket for datagrams the messenger cannot produce itself: bytes that need not decode,
// oversize ones, as a broken or hostile sender would send them.
class RawSender {
public:
    explicit RawSender(const std::string& address) : socket(io, endpoint(address, 0)) {}

    void send(const std::vector<unsigned char>& bytes, const boost::asio::ip::udp::endpoint& to) {
        socket.send_to(boost::asio::buffer(bytes), to);
    }

    boost::asio::ip::udp::endpoint local() const { return socket.local_endpoint(); }

private:
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
};

}  // namespace test
}  // namespace tarn
