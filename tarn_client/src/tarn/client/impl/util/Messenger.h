#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/AbstractInitializable.h"
#include "tarn/client/impl/util/ReceivedMessage.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn {
namespace client {
namespace impl {
namespace util {

struct MessengerData;

// One bound UDP socket that sends and receives wire messages synchronously. One thread may
// send while another receives; nothing else changes after init.
class Messenger : public AbstractInitializable {
public:
    using Endpoint = boost::asio::ip::udp::endpoint;
    using EndpointList = std::vector<Endpoint>;

    // Opens and binds the socket; a failed bind is logged and makes init() fail.
    explicit Messenger(const Endpoint& localEndpoint);
    // Builds the endpoint from text first (throws ConnectionException on bad text or port).
    Messenger(const std::string& address, int port);
    ~Messenger() override;

    // The endpoint the socket is really bound to (known after init).
    const Endpoint& getLocalEndpoint() const;
    bool send(const generated::Content& message, const Endpoint& destination);
    // True when the message was encoded and every destination was sent to; a port-0
    // destination is skipped and counts as a failure.
    bool send(const generated::Content& message, const EndpointList& destinations);
    // Waits up to timeoutMs for a datagram that decodes; garbage restarts the wait.
    bool receive(ReceivedMessage& message, int timeoutMs);
    // Appends up to maxCount messages (at least one wait), each wait with the full timeout.
    bool receiveMany(std::vector<ReceivedMessage>& messages, int timeoutMs, int maxCount);

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<MessengerData> data;
};

}  // namespace util
}  // namespace impl
}  // namespace client
}  // namespace tarn
