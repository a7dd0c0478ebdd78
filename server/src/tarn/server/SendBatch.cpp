#include "tarn/server/SendBatch.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarn {
namespace server {

SendBatch::SendBatch(std::size_t capacity, std::vector<int> fds)
    : capacity_(capacity),
      fds_(std::move(fds)),
      buffers_(capacity * kMaxDatagram),
      destinations_(capacity),
      lengths_(capacity),
      sockets_(capacity) {
#if TARN_SERVER_MMSG
    iovecs_.resize(capacity);
    headers_.resize(capacity);
#endif
}

unsigned char* SendBatch::next() {
    if (queued_ == capacity_) {
        flush();
    }
    return &buffers_[queued_ * kMaxDatagram];
}

void SendBatch::commit(std::size_t socketIndex, const boost::asio::ip::udp::endpoint& destination,
                       std::size_t length) {
    sockets_[queued_] = socketIndex;
    std::memcpy(&destinations_[queued_], destination.data(), sizeof(sockaddr_in));
    lengths_[queued_] = length;
    ++queued_;
}

void SendBatch::flush() {
    std::size_t first = 0;
    while (first < queued_) {
        std::size_t end = first + 1;
        while (end < queued_ && sockets_[end] == sockets_[first]) {
            ++end;
        }
        sendRun(first, end);
        first = end;
    }
    queued_ = 0;
}

std::uint64_t SendBatch::takeFailures() {
    return std::exchange(failures_, 0);
}

void SendBatch::sendRun(std::size_t first, std::size_t end) {
    const int fd = fds_[sockets_[first]];
#if TARN_SERVER_MMSG
    for (std::size_t i = first; i < end; ++i) {
        iovecs_[i] = {&buffers_[i * kMaxDatagram], lengths_[i]};
        msghdr& header = headers_[i].msg_hdr;
        std::memset(&header, 0, sizeof header);
        header.msg_name = &destinations_[i];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &iovecs_[i];
        header.msg_iovlen = 1;
    }
    // sendmmsg stops at the first datagram the system refuses: count it and go on after it.
    std::size_t next = first;
    while (next < end) {
        const int sent = sendmmsg(fd, &headers_[next], static_cast<unsigned>(end - next), 0);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            lastError_ = sent < 0 ? errno : EIO;
            ++failures_;
            ++next;
        }
    }
#else
    for (std::size_t i = first; i < end; ++i) {
        ssize_t sent;
        do {
            sent = ::sendto(fd, &buffers_[i * kMaxDatagram], lengths_[i], 0,
                            reinterpret_cast<const sockaddr*>(&destinations_[i]), sizeof(sockaddr_in));
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) {
            lastError_ = errno;
            ++failures_;
        }
    }
#endif
}

}  // namespace server
}  // namespace tarn
