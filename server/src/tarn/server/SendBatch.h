#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/ip/udp.hpp>

#include "tarn/server/Datagram.h"

namespace tarn {
namespace server {

// Datagrams waiting to leave through one of a worker's sockets. They leave in the order they were
// queued, each run through the same socket with one system call (sendmmsg) where the system has
// it, so that an answer never overtakes one queued before it.
class SendBatch {
public:
    // fds are the worker's sockets; a datagram names its socket by index into them.
    SendBatch(std::size_t capacity, std::vector<int> fds);
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

    // Room for the next datagram (kMaxDatagram bytes); sends the queued ones first when full.
    unsigned char* next();
    // Queues the bytes written at next() for sending through socket index to destination.
    void commit(std::size_t socketIndex, const boost::asio::ip::udp::endpoint& destination,
                std::size_t length);
    // Sends everything queued.
    void flush();
    // Datagrams the system refused since the last call, and resets that count.
    std::uint64_t takeFailures();
    // The error number of the latest refusal.
    int lastError() const { return lastSendError; }

private:
    void sendRun(std::size_t first, std::size_t end);

    std::size_t capacity;
    std::vector<int> fds;
    std::size_t queued = 0;
    std::vector<unsigned char> buffers;
    std::vector<sockaddr_in> destinations;
    std::vector<std::size_t> lengths;
    std::vector<std::size_t> sockets;
    std::uint64_t failures = 0;
    int lastSendError = 0;
#if TARN_SERVER_MMSG
    std::vector<iovec> iovecs;
    std::vector<mmsghdr> headers;
#endif
};

}  // namespace server
}  // namespace tarn
