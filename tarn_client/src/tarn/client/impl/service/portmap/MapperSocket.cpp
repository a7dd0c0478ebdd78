#include "tarn/client/impl/service/portmap/MapperSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

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

MapperSocket::MapperSocket(const Address& local, const Address& remote, std::uint16_t remotePort,
                           Source source)
    : source(source), remote(remote), remotePort(remotePort) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::string("socket: ") + std::strerror(errno);
        return;
    }
    const sockaddr_in bound = socketAddress(local, 0);
    const sockaddr_in peer = socketAddress(remote, remotePort);
    // Unconnected, the kernel reports the gateway's ICMP refusal only with IP_RECVERR.
    const int on = 1;
    const bool ready = ::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) == 0 &&
                       (source == Source::CONNECTED
                            ? ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0
                            : ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)) == 0);
    if (!ready) {
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
    const sockaddr_in to = socketAddress(remote, remotePort);
    return fd >= 0 &&
           ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                    sizeof(to)) == static_cast<ssize_t>(bytes.size());
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
                                         util::Clock::TimePoint until, const std::atomic<bool>* cancel) {
    if (fd < 0) {
        return Wait::FAILED;
    }
    for (;;) {
        if (cancel != nullptr && cancel->load()) {
            return Wait::TIMEOUT;
        }
        pollfd ready{fd, POLLIN, 0};
        // The poll blocks for real in the steps the clock allows; a step of zero looks once.
        const util::Clock::Duration step = clock.beginWait(&ready, nullptr, until);
        auto stepMs = std::chrono::ceil<std::chrono::milliseconds>(step);
        if (cancel != nullptr) {
            stepMs = std::min(stepMs, kCancelStep);
        }
        const int polled = ::poll(&ready, 1, static_cast<int>(stepMs.count()));
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
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        const ssize_t got = ::recvfrom(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got >= 0) {
            // Unconnected, anyone may send to our port: only the gateway's address is heard.
            if (source == Source::ANY_PORT && ntohl(from.sin_addr.s_addr) != remote.to_uint()) {
                continue;
            }
            bytes.resize(static_cast<std::size_t>(got));
            return Wait::DATAGRAM;
        }
        const int error = errno;
        if (source == Source::ANY_PORT) {
            drainErrors();
        }
        if (error == ECONNREFUSED) {
            return Wait::REFUSED;
        }
        if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            return Wait::FAILED;
        }
    }
}

void MapperSocket::drainErrors() {
    // Bounded: the queue holds one entry per ICMP error our few datagrams drew.
    for (int entry = 0; entry < 16; ++entry) {
        char data[64];
        char control[256];
        iovec part{data, sizeof(data)};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            return;
        }
    }
}

}  // namespace tarn::client::impl::service::portmap
