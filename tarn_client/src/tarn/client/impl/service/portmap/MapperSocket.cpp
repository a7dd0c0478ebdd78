#include "tarn/client/impl/service/portmap/MapperSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace tarn::client::impl::service::portmap {

namespace {

// Mapper answers are at most a PCP header with the MAP payload and a few options.
const std::size_t kMaxAnswer = 1100;

sockaddr_in socketAddress(const MapperSocket::Address& address, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = htonl(address.to_uint());
    return out;
}

}  // namespace

MapperSocket::MapperSocket(const Address& local, const Address& remote, std::uint16_t remotePort) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("socket: ") + std::strerror(errno);
        return;
    }
    const sockaddr_in bound = socketAddress(local, 0);
    const sockaddr_in peer = socketAddress(remote, remotePort);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) {
        failure = std::string("bind/connect: ") + std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
}

MapperSocket::~MapperSocket() {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool MapperSocket::isOpen() const {
    return fd >= 0;
}

const std::string& MapperSocket::error() const {
    return failure;
}

bool MapperSocket::send(const std::vector<std::uint8_t>& bytes) {
    return fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool MapperSocket::sendMulticast(const std::vector<std::uint8_t>& bytes, const Address& group,
                                 std::uint16_t port) {
    if (fd < 0) {
        return false;
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    const unsigned char hops = 2;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local.sin_addr, sizeof(local.sin_addr)) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof(hops)) != 0) {
        return false;
    }
    const sockaddr_in to = socketAddress(group, port);
    return ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                    sizeof(to)) == static_cast<ssize_t>(bytes.size());
}

MapperSocket::Wait MapperSocket::receive(std::vector<std::uint8_t>& bytes, util::Clock& clock,
                                         util::Clock::TimePoint until) {
    if (fd < 0) {
        return Wait::FAILED;
    }
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        // The poll blocks for real in the steps the clock allows; a step of zero looks once.
        const util::Clock::Duration step = clock.beginWait(&ready, nullptr, until);
        const int polled =
            ::poll(&ready, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(step).count()));
        if (step > util::Clock::Duration::zero()) {
            clock.endWait(&ready);
        }
        if (polled == 0) {
            if (step <= util::Clock::Duration::zero()) {
                return Wait::TIMEOUT;
            }
            continue;
        }
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::FAILED;
        }
        bytes.resize(kMaxAnswer);
        const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
        if (got >= 0) {
            bytes.resize(static_cast<std::size_t>(got));
            return Wait::DATAGRAM;
        }
        if (errno == ECONNREFUSED) {
            return Wait::REFUSED;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return Wait::FAILED;
        }
    }
}

}  // namespace tarn::client::impl::service::portmap
