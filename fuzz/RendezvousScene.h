#pragma once

#include <array>

#include <boost/asio/ip/udp.hpp>

#include "tarn/server/RequestHandler.h"

// Who takes part when RequestHandlerFuzz feeds the rendezvous server, shared with the seed
// corpus so that its relay requests name endpoints that bound before.
namespace tarn::fuzz::rendezvous {

using Endpoint = boost::asio::ip::udp::endpoint;

inline Endpoint loopback(const char* address, unsigned short port) {
    return Endpoint(boost::asio::ip::make_address_v4(address), port);
}

// The server's own endpoints as it is configured by default.
inline const server::RequestHandler::Endpoints kServer = {
    loopback("127.0.0.1", 13434), loopback("127.0.0.1", 13435), loopback("127.0.0.2", 13434),
    loopback("127.0.0.2", 13435)};

// Senders by header bits 2-3: two clients, a second socket of the first one, and the server
// itself, which must never be answered.
inline const std::array<Endpoint, 4> kSenders = {loopback("127.0.0.1", 40001), loopback("127.0.0.3", 40003),
                                                 loopback("127.0.0.1", 40002), kServer[0]};

// A record header: received at endpoint via from sender, seconds after the previous record.
constexpr unsigned char header(unsigned via, unsigned sender, unsigned seconds) {
    return static_cast<unsigned char>((via & 3) | (sender & 3) << 2 | (seconds & 15) << 4);
}

}  // namespace tarn::fuzz::rendezvous
