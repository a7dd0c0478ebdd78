#include "tarn/server/SendBatch.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarn {
namespace server {

SendBatch::SendBatch(std::size_t capacity, std::vector<int> fds)
    : capacity(capacity),
      fds(std::move(fds)),
      buffers(capacity * kMaxDatagram),
      destinations(capacity),
      lengths(capacity),
      sockets(capacity) {
#if TARN_SERVER_MMSG
    iovecs.resize(capacity);
    headers.resize(capacity);
#endif
}

unsigned char* SendBatch::next() {
    if (queued == capacity) {
        flush();
    }
    return &buffers[queued * kMaxDatagram];
}

void SendBatch::commit(std::size_t socketIndex, const boost::asio::ip::udp::endpoint& destination,
                       std::size_t length) {
    sockets[queued] = socketIndex;
    std::memcpy(&destinations[queued], destination.data(), sizeof(sockaddr_in));
    lengths[queued] = length;
    ++queued;
}

void SendBatch::flush() {
    std::size_t first = 0;
    while (first < queued) {
        std::size_t end = first + 1;
        while (end < queued && sockets[end] == sockets[first]) {
            ++end;
        }
        sendRun(first, end);
        first = end;
    }
    queued = 0;
}

std::uint64_t SendBatch::takeFailures() {
    return std::exchange(failures, 0);
}

void SendBatch::sendRun(std::size_t first, std::size_t end) {
    const int fd = fds[sockets[first]];
#if TARN_SERVER_MMSG
    for (std::size_t i = first; i < end; ++i) {
        iovecs[i] = {&buffers[i * kMaxDatagram], lengths[i]};
        msghdr& header = headers[i].msg_hdr;
        std::memset(&header, 0, sizeof header);
        header.msg_name = &destinations[i];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &iovecs[i];
        header.msg_iovlen = 1;
    }
    // sendmmsg stops at the first datagram the system refuses: count it and go on after it.
    std::size_t next = first;
    while (next < end) {
        const int sent = sendmmsg(fd, &headers[next], static_cast<unsigned>(end - next), 0);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            lastSendError = sent < 0 ? errno : EIO;
            ++failures;
            ++next;
        }
    }
#else
    for (std::size_t i = first; i < end; ++i) {
        ssize_t sent;
        do {
            sent = ::sendto(fd, &buffers[i * kMaxDatagram], lengths[i], 0,
                            reinterpret_cast<const sockaddr*>(&destinations[i]), sizeof(sockaddr_in));
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            lastSendError = errno;
            ++failures;
        }
    }
#endif
}

}  // namespace server
}  // namespace tarn
