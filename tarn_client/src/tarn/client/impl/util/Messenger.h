#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tarn/client/impl/AbstractInitializable.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/ReceivedMessage.h"
#include "tarn/client/impl/util/SteadyClock.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::util {

struct MessengerData;

// One bound UDP socket that sends and receives wire messages synchronously. One thread may
// send while another receives; nothing else changes after init. Its waits end on the clock it
// was given: the kernel's poll blocks for real, in the steps that clock allows.
class Messenger : public AbstractInitializable {
public:
    using Endpoint = generated::Endpoint;
    using EndpointList = generated::EndpointList;

    // Opens and binds the socket; a failed bind is logged and makes init() fail. A failure to open
    // or set up the socket throws boost::system::system_error.
    explicit Messenger(const Endpoint& localEndpoint, Clock& clock = SteadyClock::instance());
    // Builds the endpoint from text first (throws ConnectionException on bad text or port).
    Messenger(const std::string& address, int port, Clock& clock = SteadyClock::instance());
    ~Messenger() override;

    // The endpoint the socket is really bound to (known after init).
    const Endpoint& getLocalEndpoint() const;
    // The clock this messenger's waits end on.
    Clock& getClock() const;
    // send, receive and receiveMany throw UninitializedException unless init() succeeded.
    bool send(const generated::Content& message, const Endpoint& destination);
    // True when the message was encoded and every destination was sent to; a port-0
    // destination is skipped and counts as a failure. A message that does not encode into 2048
    // bytes is logged at WARN and sent nowhere.
    bool send(const generated::Content& message, const EndpointList& destinations);
    // Sends one datagram whose time-to-live is ttl instead of the system's: it opens this socket's
    // mapping in the NATs on the way and dies before it reaches the far end. False when it could
    // not be encoded or sent.
    bool sendPrimer(const generated::Content& message, const Endpoint& destination, int ttl);
    // Waits up to timeout for a datagram that decodes, from anyone; garbage restarts the wait
    // with the full timeout, but the whole wait ends after Intervals::kWaitBoundFactor timeouts.
    // A timeout of 0 or less looks once. Throws ConnectionException when the socket fails.
    bool receive(ReceivedMessage& message, std::chrono::milliseconds timeout);
    // Appends up to maxCount messages (at least one, also for maxCount <= 0), each wait with the
    // full timeout; true when anything was appended.
    bool receiveMany(std::vector<ReceivedMessage>& messages, std::chrono::milliseconds timeout, int maxCount);
    // Waits until one of the messengers has a datagram (or an error report) to read, or until the
    // first one's clock reaches deadline: the first readable one, or nullptr. Throws
    // ConnectionException when a socket fails.
    static Messenger* waitReadable(const std::vector<Messenger*>& messengers, Clock::TimePoint deadline);

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<MessengerData> data;
};

}  // namespace tarn::client::impl::util
