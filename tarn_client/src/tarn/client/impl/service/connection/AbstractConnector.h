#pragma once

#include <chrono>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/AbstractInitializable.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

class P2PContext;

// One way of reaching the peers still unconnected: decides where to ping and where the peers
// should answer, sends one PING_DIRECT to every destination and waits for the listener. Between
// the wait's steps the ping goes again to the peers still unreached, so that one lost ping or
// answer does not cost the round. A round's time runs on its context's clock.
class AbstractConnector : public AbstractInitializable {
public:
    using EndpointList = std::vector<boost::asio::ip::udp::endpoint>;

    ~AbstractConnector() override;

    using Endpoint = boost::asio::ip::udp::endpoint;

    // What a round sent first, so that it can be sent again.
    struct Sent {
        EndpointList dests;
        generated::Content ping;
        // Resends before this moment of the context's clock repeat everything but the ping.
        util::Clock::TimePoint realFrom{};
    };

    // One round.
    void connect(P2PContext& context);
    // The start of a round without its wait: chooses the destinations and sends the ping (the
    // overlapped pass runs two connectors' rounds in one wait). With primeFirst, or when the
    // connector primesFirst, the ping goes out as primers and for real at the first resend.
    Sent start(P2PContext& context, bool primeFirst = false);
    // Sends the round's ping again to those of its destinations whose peers are still unreached.
    void resend(P2PContext& context, const Sent& sent);

    // The virtual operations are declared in their slot order: the connector's own set-up first.
protected:
    bool doInit() override;
    void doShutdown() override;
    virtual bool doConnectorInit() = 0;
    virtual void doConnectorShutdown() = 0;

public:
    // Appends the endpoints to ping (dests) and those at which the peers should answer (targets).
    virtual void getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) = 0;
    // Sends what must follow the direct pings of the latest getDestinations; nothing by default.
    virtual void afterPings(P2PContext& context);
    // Whether a round's first pings go out as primers, and for real only at its resends.
    virtual bool primesFirst() const;
    // The wait of one round.
    virtual std::chrono::milliseconds getTimeout() = 0;
};

}  // namespace tarn::client::impl::service::connection
