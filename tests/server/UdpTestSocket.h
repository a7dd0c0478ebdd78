#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/MessageHelpers.h"

namespace tarn {
namespace test {

using Endpoint = boost::asio::ip::udp::endpoint;
using Bytes = std::vector<unsigned char>;

// One datagram as a client saw it: where it came from, its bytes and, if they decode, the message.
struct Received {
    Endpoint from;
    Bytes bytes;
    bool decoded = false;
    generated::Content message;
};

// A client's UDP socket on a loopback address, with bounded waits for answers.
class UdpTestSocket {
public:
    explicit UdpTestSocket(const std::string& address = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "test socket");
        }
        const Endpoint endpoint(boost::asio::ip::make_address_v4(address), 0);
        if (::bind(fd_, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
            const int error = errno;
            ::close(fd_);
            throw std::system_error(error, std::generic_category(), "test socket bind to " + address);
        }
        socklen_t length = static_cast<socklen_t>(local_.capacity());
        ::getsockname(fd_, local_.data(), &length);
    }
    ~UdpTestSocket() { ::close(fd_); }
    UdpTestSocket(const UdpTestSocket&) = delete;
    UdpTestSocket& operator=(const UdpTestSocket&) = delete;

    const Endpoint& local() const { return local_; }

    void sendBytes(const Endpoint& to, const Bytes& bytes) {
        if (::sendto(fd_, bytes.data(), bytes.size(), 0, to.data(), static_cast<socklen_t>(to.size())) < 0) {
            throw std::system_error(errno, std::generic_category(), "test send");
        }
    }

    void send(const Endpoint& to, const generated::Content& message) { sendBytes(to, encode(message)); }

    // Waits up to timeoutMs for one datagram; false when none came.
    bool receive(Received& out, int timeoutMs = 2000) {
        pollfd polled{fd_, POLLIN, 0};
        if (::poll(&polled, 1, timeoutMs) <= 0) {
            return false;
        }
        out.bytes.assign(65536, 0);
        socklen_t length = static_cast<socklen_t>(out.from.capacity());
        const ssize_t size = ::recvfrom(fd_, out.bytes.data(), out.bytes.size(), 0, out.from.data(), &length);
        if (size < 0) {
            return false;
        }
        out.bytes.resize(static_cast<std::size_t>(size));
        out.decoded = generated::parseMessage(out.message, out.bytes.data(), out.bytes.size());
        return true;
    }

    // Whether a datagram is queued right now.
    bool pending() {
        pollfd polled{fd_, POLLIN, 0};
        return ::poll(&polled, 1, 0) > 0;
    }

    static Bytes encode(const generated::Content& message) {
        Bytes bytes(64 * 1024);
        bytes.resize(generated::serializeMessage(message, bytes.data(), bytes.size()));
        return bytes;
    }

private:
    int fd_ = -1;
    Endpoint local_;
};

}  // namespace test
}  // namespace tarn
