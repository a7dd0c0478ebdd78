#pragma once

#include <cstddef>

#include <boost/asio/ip/udp.hpp>

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

}  // namespace server
}  // namespace tarn
