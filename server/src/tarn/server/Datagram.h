#pragma once

#include <cstddef>
#include <string>

#include <boost/asio/ip/udp.hpp>

// 1 where a batch of datagrams moves with one system call (recvmmsg/sendmmsg), 0 where each takes
// its own; TARN_SERVER_PORTABLE_IO forces the latter, to check that path on Linux too.
#if defined(__linux__) && !defined(TARN_SERVER_PORTABLE_IO)
#define TARN_SERVER_MMSG 1
#else
#define TARN_SERVER_MMSG 0
#endif

namespace tarn {
namespace server {

// The largest datagram the protocol uses; anything longer is refused unread.
constexpr std::size_t kMaxDatagram = 2048;

// One received datagram; data points into the receive batch and lives until its next receive.
struct Datagram {
    const unsigned char* data = nullptr;
    std::size_t length = 0;
    // Longer than kMaxDatagram: the bytes were cut off.
    bool oversized = false;
    boost::asio::ip::udp::endpoint source;
};

// "address:port", as every log line and error text writes an endpoint.
inline std::string endpointText(const boost::asio::ip::udp::endpoint& endpoint) {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace server
}  // namespace tarn
