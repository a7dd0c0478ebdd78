#include "tarn/server/ReceiveBatch.h"

#include <cerrno>
#include <cstring>

namespace tarn {
namespace server {

namespace {

bool nothingQueued(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

ReceiveBatch::ReceiveBatch(std::size_t capacity)
    : capacity_(capacity),
      buffers_(capacity * kSlot),
      sources_(capacity),
      lengths_(capacity),
      truncated_(capacity) {
#if TARN_SERVER_MMSG
    iovecs_.resize(capacity);
    headers_.resize(capacity);
    for (std::size_t i = 0; i < capacity; ++i) {
        iovecs_[i] = {&buffers_[i * kSlot], kSlot};
    }
#endif
}

long ReceiveBatch::receive(int fd) {
#if TARN_SERVER_MMSG
    for (std::size_t i = 0; i < capacity_; ++i) {
        msghdr& header = headers_[i].msg_hdr;
        std::memset(&header, 0, sizeof header);
        header.msg_name = &sources_[i];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &iovecs_[i];
        header.msg_iovlen = 1;
    }
    const int count = recvmmsg(fd, headers_.data(), static_cast<unsigned>(capacity_), MSG_DONTWAIT, nullptr);
    if (count < 0) {
        return nothingQueued(errno) ? 0 : -1;
    }
    for (int i = 0; i < count; ++i) {
        lengths_[i] = headers_[i].msg_len;
        truncated_[i] = (headers_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || lengths_[i] > kMaxDatagram;
    }
    return count;
#else
    std::size_t count = 0;
    while (count < capacity_) {
        socklen_t nameLength = sizeof(sockaddr_in);
        const ssize_t length = ::recvfrom(fd, &buffers_[count * kSlot], kSlot, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&sources_[count]), &nameLength);
        if (length < 0) {
            if (count == 0 && !nothingQueued(errno)) {
                return -1;
            }
            break;
        }
        lengths_[count] = static_cast<std::size_t>(length);
        truncated_[count] = lengths_[count] > kMaxDatagram;
        ++count;
    }
    return static_cast<long>(count);
#endif
}

Datagram ReceiveBatch::at(std::size_t i) const {
    Datagram datagram;
    datagram.data = &buffers_[i * kSlot];
    datagram.length = lengths_[i];
    datagram.oversized = truncated_[i];
    std::memcpy(datagram.source.data(), &sources_[i], sizeof(sockaddr_in));
    return datagram;
}

}  // namespace server
}  // namespace tarn
