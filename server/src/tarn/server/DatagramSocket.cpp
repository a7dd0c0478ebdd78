#include "tarn/server/DatagramSocket.h"

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tarn/server/Datagram.h"

namespace tarn {
namespace server {

namespace {

void setBuffer(int fd, int option, int forced, unsigned bytes) {
    const int size = static_cast<int>(bytes);
    // The forcing variant passes the system's maximum but needs privileges; the plain one is capped.
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0) {
        setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
    }
}

}  // namespace

DatagramSocket::DatagramSocket(const Endpoint& endpoint, bool shared, unsigned bufferBytes) {
    socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot create a UDP socket");
    }
    const int on = 1;
    if (shared && setsockopt(socketFd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        const int error = errno;
        ::close(socketFd);
        throw std::system_error(error, std::generic_category(), "cannot share " + endpointText(endpoint));
    }
    if (bufferBytes > 0) {
#ifdef SO_RCVBUFFORCE
        setBuffer(socketFd, SO_RCVBUF, SO_RCVBUFFORCE, bufferBytes);
        setBuffer(socketFd, SO_SNDBUF, SO_SNDBUFFORCE, bufferBytes);
#else
        setBuffer(socketFd, SO_RCVBUF, SO_RCVBUF, bufferBytes);
        setBuffer(socketFd, SO_SNDBUF, SO_SNDBUF, bufferBytes);
#endif
    }
    if (::bind(socketFd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        const int error = errno;
        ::close(socketFd);
        throw std::system_error(error, std::generic_category(), "cannot bind " + endpointText(endpoint));
    }
}

DatagramSocket::~DatagramSocket() {
    if (socketFd >= 0) {
        ::close(socketFd);
    }
}

DatagramSocket::DatagramSocket(DatagramSocket&& other) noexcept
    : socketFd(std::exchange(other.socketFd, -1)) {}

DatagramSocket& DatagramSocket::operator=(DatagramSocket&& other) noexcept {
    if (this != &other) {
        if (socketFd >= 0) {
            ::close(socketFd);
        }
        socketFd = std::exchange(other.socketFd, -1);
    }
    return *this;
}

DatagramSocket::Endpoint DatagramSocket::localEndpoint() const {
    Endpoint endpoint;
    socklen_t length = static_cast<socklen_t>(endpoint.capacity());
    if (::getsockname(socketFd, endpoint.data(), &length) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read a socket's address");
    }
    endpoint.resize(length);
    return endpoint;
}

}  // namespace server
}  // namespace tarn
