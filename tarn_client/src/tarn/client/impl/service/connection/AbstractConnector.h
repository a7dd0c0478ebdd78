#pragma once

#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn::client::impl::service::connection {

class P2PContext;

// One way of reaching the peers still unconnected: decides where to ping and where the peers
// should answer, sends one PING_DIRECT to every destination and waits for the listener.
class AbstractConnector : public AbstractInitializable {
public:
    using EndpointList = std::vector<boost::asio::ip::udp::endpoint>;

    ~AbstractConnector() override;

    // One round.
    void connect(P2PContext& context);

    // The virtual operations are declared in their slot order: the connector's own set-up first.
protected:
    bool doInit() override;
    void doShutdown() override;
    virtual bool doConnectorInit() = 0;
    virtual void doConnectorShutdown() = 0;

public:
    // Appends the endpoints to ping (dests) and those at which the peers should answer (targets).
    virtual void getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) = 0;
    // The wait of one round in milliseconds.
    virtual int getTimeout() = 0;
};

}  // namespace tarn::client::impl::service::connection
