#include "tarn/client/impl/util/Messenger.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <exception>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/unicast.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <cstring>
#endif

#include "tarn/client/ConnectionException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/SteppedWait.h"

namespace tarn::client::impl::util {

namespace {

using boost::asio::ip::udp;

// Socket option values and user-space buffers; every message is far smaller.
constexpr int kBufferSize = 2048;
// How many connection-reset reports one receive swallows before passing the next one on.
constexpr int kConnectionResetRetries = 77;
// Why init failed: a failed bind, or a socket that cannot tell its own endpoint.
const char* const kInitFailure = "Could not initialize %1% endpoint: %2%";

bool isConnectionReset(const boost::system::error_code& error) {
    return error == boost::asio::error::connection_reset || error == boost::asio::error::connection_refused;
}

bool wouldBlock(const boost::system::error_code& error) {
    return error == boost::asio::error::would_block || error == boost::asio::error::try_again;
}

// Hands one datagram to the system, waiting while the send buffer is full: the socket itself is
// non-blocking (see MessengerData), a send still blocks as a send on a blocking socket would.
void sendDatagram(udp::socket& socket, const boost::asio::const_buffer& bytes,
                  const udp::endpoint& destination, boost::system::error_code& error) {
    for (;;) {
        socket.send_to(bytes, destination, 0, error);
        if (!wouldBlock(error)) {
            return;
        }
        socket.wait(udp::socket::wait_write, error);
        if (error) {
            return;
        }
    }
}

// Hands one datagram to the system with its own time-to-live. On Linux the value travels with the
// datagram alone, so the listener's answers, sent through the same socket at the same time, keep
// the normal one. Windows has no such per-datagram value: the socket's option is set around the
// send, and an answer sent in that instant leaves with the small one too (it is then sent again
// with the round's resends).
void sendDatagramWithTtl(udp::socket& socket, const boost::asio::const_buffer& bytes,
                         const udp::endpoint& destination, int ttl, boost::system::error_code& error) {
#if defined(_WIN32)
    boost::asio::ip::unicast::hops normal;
    socket.get_option(normal, error);
    if (!error) {
        socket.set_option(boost::asio::ip::unicast::hops(ttl), error);
    }
    if (!error) {
        sendDatagram(socket, bytes, destination, error);
        boost::system::error_code restore;
        socket.set_option(normal, restore);
    }
#else
    iovec part{const_cast<void*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(destination.data());
    message.msg_namelen = static_cast<socklen_t>(destination.size());
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_TTL;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &ttl, sizeof(int));
    for (;;) {
        if (::sendmsg(socket.native_handle(), &message, 0) >= 0) {
            error.clear();
            return;
        }
        error = boost::system::error_code(errno, boost::asio::error::get_system_category());
        if (!wouldBlock(error)) {
            return;
        }
        socket.wait(udp::socket::wait_write, error);
        if (error) {
            return;
        }
    }
#endif
}

#if defined(_WIN32)
using PollDescriptor = WSAPOLLFD;
int pollSocket(PollDescriptor* descriptor, int timeoutMs, unsigned long count = 1) {
    return ::WSAPoll(descriptor, count, timeoutMs);
}
boost::system::error_code lastSocketError() {
    return boost::system::error_code(::WSAGetLastError(), boost::asio::error::get_system_category());
}
bool interrupted(const boost::system::error_code& error) {
    return error == boost::asio::error::interrupted;
}
#else
using PollDescriptor = pollfd;
int pollSocket(PollDescriptor* descriptor, int timeoutMs, nfds_t count = 1) {
    return ::poll(descriptor, count, timeoutMs);
}
boost::system::error_code lastSocketError() {
    return boost::system::error_code(errno, boost::asio::error::get_system_category());
}
bool interrupted(const boost::system::error_code& error) {
    return error.value() == EINTR;
}
#endif

// One poll of the given descriptors for at most the step the clock allows before deadline (a
// step of zero looks once); what poll returned, and step, which is zero once the deadline passed.
template <typename Count>
int pollStep(PollDescriptor* descriptors, Count count, Clock& clock, Clock::TimePoint deadline,
             Clock::Duration& step) {
    step = clock.beginWait(descriptors, nullptr, deadline);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(step);
    const int ready = pollSocket(descriptors, static_cast<int>(wait.count()), count);
    if (step > Clock::Duration::zero()) {
        clock.endWait(descriptors);
    }
    return ready;
}

// Waits until the socket has a datagram (or an error report) to read, or until the clock reaches
// deadline. A closed or broken socket throws, as a failed query for pending input would.
bool readableBefore(udp::socket& socket, Clock& clock, Clock::TimePoint deadline) {
    PollDescriptor descriptor{};
    descriptor.fd = socket.native_handle();
    descriptor.events = POLLIN;
    for (;;) {
        descriptor.revents = 0;
        Clock::Duration step;
        const int ready = pollStep(&descriptor, 1, clock, deadline, step);
        if (ready > 0) {
            if ((descriptor.revents & POLLNVAL) != 0) {
                throw boost::system::system_error(boost::asio::error::bad_descriptor, "poll");
            }
            return true;
        }
        if (ready < 0) {
            const boost::system::error_code error = lastSocketError();
            if (!interrupted(error)) {
                throw boost::system::system_error(error, "poll");
            }
        } else if (step <= Clock::Duration::zero()) {
            return false;
        }
    }
}

// The wait of one receive: steps of a fifth of the time-out until they add up to it, never past
// bound. A datagram ends the wait the moment it arrives. A time-out of 0 or less looks once.
bool waitForDatagram(udp::socket& socket, Clock& clock, std::chrono::milliseconds timeout,
                     Clock::TimePoint bound) {
    if (timeout.count() <= 0) {
        return readableBefore(socket, clock, clock.now());
    }
    SteppedWait wait(clock, timeout, Intervals::kReceiveWaitParts);
    Clock::TimePoint stepEnd;
    while (wait.nextStep(stepEnd)) {
        if (readableBefore(socket, clock, std::min(stepEnd, bound))) {
            return true;
        }
        if (stepEnd >= bound) {
            return false;
        }
    }
    return false;
}

udp::endpoint endpointOf(const std::string& address, int port) {
    udp::endpoint endpoint;
    Network::initEndpoint(address, port, endpoint);
    return endpoint;
}

void closeSocket(udp::socket& socket, const std::string& name) {
    if (!socket.is_open()) {
        return;
    }
    try {
        socket.close();
    } catch (const std::exception& e) {
        Log::trace(name, "stop", "Could not close %1% socket: %2%", name, e.what());
    }
}

// Sizes a socket buffer for at least kBufferSize bytes of datagrams. Windows counts only the
// payload, so 2048 holds dozens of small messages; Linux charges about a kilobyte of bookkeeping
// per datagram, so 2048 there holds only four and a fifth answer arriving in a burst (four
// servers answering at once, several peers pinging) would be dropped. There the buffer is never
// made smaller than the system's default.
template <typename Option>
void setBufferSize(udp::socket& socket) {
#if !defined(_WIN32)
    Option current;
    socket.get_option(current);
    if (current.value() >= kBufferSize) {
        return;
    }
#endif
    socket.set_option(Option(kBufferSize));
}

}  // namespace

struct MessengerData {
    MessengerData(const udp::endpoint& requested, Clock& clock);

    // Only a container for the socket; it never runs.
    boost::asio::io_context io;
    udp::socket socket;
    // 0.0.0.0:0 until doInit, then the endpoint the socket is really bound to.
    udp::endpoint localEndpoint;
    // Why the bind failed; empty after a successful bind. An unbound socket still reports
    // 0.0.0.0:0 as its own endpoint here, so init needs this to fail.
    std::string bindError;
    // Every wait of this messenger ends on its time.
    Clock& clock;
};

MessengerData::MessengerData(const udp::endpoint& requested, Clock& clock) : socket(io), clock(clock) {
    socket.open(udp::v4());
    socket.set_option(boost::asio::socket_base::reuse_address(true));
    setBufferSize<boost::asio::socket_base::send_buffer_size>(socket);
    setBufferSize<boost::asio::socket_base::receive_buffer_size>(socket);
    // A wait that reports a datagram does not promise that a read finds one: the system may drop
    // it when it is read (a bad checksum), or another thread may read it first. A blocking read
    // would then hang past every time-out, so reads never block and such a read restarts the wait.
    socket.non_blocking(true);
    try {
        socket.bind(requested);
    } catch (const std::exception& e) {
        bindError = e.what();
        Log::error("MessengerData", "cstr", "Messenger unable to bind to %1%: %2%", requested, bindError);
    }
}

Messenger::Messenger(const Endpoint& localEndpoint, Clock& clock)
    : data(std::make_unique<MessengerData>(localEndpoint, clock)) {}

Messenger::Messenger(const std::string& address, int port, Clock& clock)
    : Messenger(endpointOf(address, port), clock) {}

Messenger::~Messenger() {
    closeSocket(data->socket, getName());
}

const Messenger::Endpoint& Messenger::getLocalEndpoint() const {
    return data->localEndpoint;
}

Clock& Messenger::getClock() const {
    return data->clock;
}

bool Messenger::send(const generated::Content& message, const Endpoint& destination) {
    return send(message, EndpointList{destination});
}

bool Messenger::send(const generated::Content& message, const EndpointList& destinations) {
    checkInitialized(getName(), "send");
    std::array<unsigned char, kBufferSize> buffer;
    const std::size_t length = generated::serializeMessage(message, buffer.data(), buffer.size());
    if (length == 0) {
        // At WARN: a message too large for the buffer is a configuration fault, never a silent drop.
        Log::warn(getName(), "send000", "Could not serialize object %1%",
                  generated::messageToString(message));
        return false;
    }
    bool allSent = true;
    for (const Endpoint& destination : destinations) {
        if (destination.port() == 0) {
            Log::debug(getName(), "send002", "Not sending to %1%: no port", destination);
            allSent = false;
            continue;
        }
        boost::system::error_code error;
        sendDatagram(data->socket, boost::asio::buffer(buffer.data(), length), destination, error);
        if (error) {
            Log::debug(getName(), "send003", "Could not send to %1%: %2%", destination, error.message());
            allSent = false;
        }
    }
    // The list text is built only when the line is written: this runs for every datagram.
    if (ServiceRegistry::instance().isLogged(Log::TRACE)) {
        Log::trace(getName(), "send001", "Sent %1% byte sized %2% from %3% to %4%", length,
                   generated::typeName(message.type()), data->localEndpoint,
                   Network::endpointsToString(destinations));
    }
    return allSent;
}

bool Messenger::sendPrimer(const generated::Content& message, const Endpoint& destination, int ttl) {
    checkInitialized(getName(), "send");
    std::array<unsigned char, kBufferSize> buffer;
    const std::size_t length = generated::serializeMessage(message, buffer.data(), buffer.size());
    if (length == 0 || destination.port() == 0) {
        return false;
    }
    boost::system::error_code error;
    sendDatagramWithTtl(data->socket, boost::asio::buffer(buffer.data(), length), destination, ttl, error);
    if (error) {
        Log::debug(getName(), "sendPrimer001", "Could not send a primer to %1%: %2%", destination,
                   error.message());
        return false;
    }
    Log::trace(getName(), "sendPrimer000", "Sent a primer with time-to-live %1% from %2% to %3%", ttl,
               data->localEndpoint, destination);
    return true;
}

bool Messenger::receive(ReceivedMessage& message, std::chrono::milliseconds timeout) {
    checkInitialized(getName(), "receive");
    Clock& clock = data->clock;
    const Clock::TimePoint bound =
        clock.now() + std::max(timeout, std::chrono::milliseconds(0)) * Intervals::kWaitBoundFactor;
    try {
        int resetRetries = kConnectionResetRetries;
        for (;;) {
            if (!waitForDatagram(data->socket, clock, timeout, bound)) {
                return false;
            }
            // One byte more than a message may take: a longer datagram is dropped, not cut short.
            std::array<unsigned char, kBufferSize + 1> buffer;
            Endpoint sender;
            boost::system::error_code error;
            std::size_t length = data->socket.receive_from(boost::asio::buffer(buffer), sender, 0, error);
            if (error) {
                if (isConnectionReset(error)) {
                    // A report of an earlier datagram refused by its destination, not a datagram.
                    if (resetRetries == 0) {
                        throw boost::system::system_error(error, "receive_from");
                    }
                    --resetRetries;
                    continue;
                }
                length = 0;
            }
            // A datagram that does not decode restarts the wait: a stray packet must not end it early.
            if (length > static_cast<std::size_t>(kBufferSize) ||
                !generated::parseMessage(message.content, buffer.data(), length)) {
                if (clock.now() >= bound) {
                    Log::debug(getName(), "receive000",
                               "Giving up a %1% ms wait: only undecodable datagrams arrived",
                               timeout.count());
                    return false;
                }
                continue;
            }
            message.localEndpoint = data->socket.local_endpoint();
            message.remoteEndpoint = sender;
            break;
        }
    } catch (const std::exception& e) {
        // The caller decides how loud a failed receive is (the listener logs it at DEBUG).
        Log::debug(getName(), "receive001", e.what());
        throw ConnectionException(getName(), "receive", e.what());
    }
    Log::trace(getName(), "receive", "Received message: %1%", message);
    return true;
}

bool Messenger::receiveMany(std::vector<ReceivedMessage>& messages, std::chrono::milliseconds timeout,
                            int maxCount) {
    int received = 0;
    for (;;) {
        ReceivedMessage message;
        if (!receive(message, timeout)) {
            break;
        }
        messages.push_back(std::move(message));
        ++received;
        if (received >= maxCount) {
            break;
        }
    }
    return received > 0;
}

Messenger* Messenger::waitReadable(const std::vector<Messenger*>& messengers, Clock::TimePoint deadline) {
    std::vector<PollDescriptor> descriptors(messengers.size());
    for (std::size_t i = 0; i < messengers.size(); ++i) {
        messengers[i]->checkInitialized(messengers[i]->getName(), "waitReadable");
        descriptors[i].fd = messengers[i]->data->socket.native_handle();
        descriptors[i].events = POLLIN;
    }
    Clock& clock = messengers.front()->data->clock;
    try {
        for (;;) {
            Clock::Duration step;
            const int ready = pollStep(descriptors.data(), descriptors.size(), clock, deadline, step);
            if (ready < 0) {
                const boost::system::error_code error = lastSocketError();
                if (!interrupted(error)) {
                    throw boost::system::system_error(error, "poll");
                }
                continue;
            }
            for (std::size_t i = 0; i < descriptors.size(); ++i) {
                if ((descriptors[i].revents & POLLNVAL) != 0) {
                    throw boost::system::system_error(boost::asio::error::bad_descriptor, "poll");
                }
                if (descriptors[i].revents != 0) {
                    return messengers[i];
                }
            }
            if (step <= Clock::Duration::zero()) {
                return nullptr;
            }
        }
    } catch (const std::exception& e) {
        Log::debug(messengers.front()->getName(), "waitReadable000", e.what());
        throw ConnectionException(messengers.front()->getName(), "waitReadable000", e.what());
    }
}

bool Messenger::doInit() {
    if (!data->bindError.empty()) {
        Log::error(getName(), "doInit001", kInitFailure, getName(), data->bindError);
        return false;
    }
    try {
        data->localEndpoint = data->socket.local_endpoint();
    } catch (const std::exception& e) {
        Log::error(getName(), "doInit001", kInitFailure, getName(), e.what());
        return false;
    }
    Log::trace(getName(), "doInit000", "Listening/sending from %1%", data->localEndpoint);
    return true;
}

void Messenger::doShutdown() {
    closeSocket(data->socket, getName());
}

}  // namespace tarn::client::impl::util
