#pragma once

#include <cstddef>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "tarn/server/Datagram.h"

namespace tarn {
namespace server {

// Buffers for reading up to capacity datagrams from a socket with one system call (recvmmsg)
// where the system has it.
class ReceiveBatch {
public:
    explicit ReceiveBatch(std::size_t capacity);
    ReceiveBatch(const ReceiveBatch&) = delete;
    ReceiveBatch& operator=(const ReceiveBatch&) = delete;

    // Reads what is queued on fd without waiting. Returns how many datagrams were read (0 when
    // none was queued), or -1 with errno set on a socket error.
    long receive(int fd);
    // The i-th datagram of the last receive.
    Datagram at(std::size_t i) const;

private:
    // One byte more than the largest datagram, so that an oversized one shows as too long.
    static constexpr std::size_t kSlot = kMaxDatagram + 1;

    std::size_t capacity;
    std::vector<unsigned char> buffers;
    std::vector<sockaddr_in> sources;
    std::vector<std::size_t> lengths;
    std::vector<bool> truncated;
#if TARN_SERVER_MMSG
    std::vector<iovec> iovecs;
    std::vector<mmsghdr> headers;
#endif
};

}  // namespace server
}  // namespace tarn
