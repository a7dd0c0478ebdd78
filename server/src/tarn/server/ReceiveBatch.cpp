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
    : capacity(capacity),
      buffers(capacity * kSlot),
      sources(capacity),
      lengths(capacity),
      truncated(capacity) {
#if TARN_SERVER_MMSG
    iovecs.resize(capacity);
    headers.resize(capacity);
    for (std::size_t i = 0; i < capacity; ++i) {
        iovecs[i] = {&buffers[i * kSlot], kSlot};
    }
#endif
}

long ReceiveBatch::receive(int fd) {
#if TARN_SERVER_MMSG
    for (std::size_t i = 0; i < capacity; ++i) {
        msghdr& header = headers[i].msg_hdr;
        std::memset(&header, 0, sizeof header);
        header.msg_name = &sources[i];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &iovecs[i];
        header.msg_iovlen = 1;
    }
    const int count = recvmmsg(fd, headers.data(), static_cast<unsigned>(capacity), MSG_DONTWAIT, nullptr);
    if (count < 0) {
        return nothingQueued(errno) ? 0 : -1;
    }
    for (int i = 0; i < count; ++i) {
        lengths[i] = headers[i].msg_len;
        truncated[i] = (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || lengths[i] > kMaxDatagram;
    }
    return count;
#else
    std::size_t count = 0;
    while (count < capacity) {
        socklen_t nameLength = sizeof(sockaddr_in);
        const ssize_t length = ::recvfrom(fd, &buffers[count * kSlot], kSlot, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(&sources[count]), &nameLength);
        if (length < 0) {
            if (count == 0 && !nothingQueued(errno)) {
                return -1;
            }
            break;
        }
        lengths[count] = static_cast<std::size_t>(length);
        truncated[count] = lengths[count] > kMaxDatagram;
        ++count;
    }
    return static_cast<long>(count);
#endif
}

Datagram ReceiveBatch::at(std::size_t i) const {
    Datagram datagram;
    datagram.data = &buffers[i * kSlot];
    datagram.length = lengths[i];
    datagram.oversized = truncated[i];
    std::memcpy(datagram.source.data(), &sources[i], sizeof(sockaddr_in));
    return datagram;
}

}  // namespace server
}  // namespace tarn
