#pragma once

#include <ostream>

#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::util {

// One received datagram: the decoded message and the two endpoints it travelled between.
struct ReceivedMessage {
    generated::Content content;
    boost::asio::ip::udp::endpoint localEndpoint;
    boost::asio::ip::udp::endpoint remoteEndpoint;
};

// [local addr=..., remote addr=..., message= [type=...]]
std::ostream& operator<<(std::ostream& out, const ReceivedMessage& message);

}  // namespace tarn::client::impl::util
