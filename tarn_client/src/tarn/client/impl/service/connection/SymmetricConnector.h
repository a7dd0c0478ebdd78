#pragma once

#include <memory>

#include "tarn/client/impl/service/connection/AbstractConnector.h"

namespace tarn::client::impl::service::connection {

struct SymmetricConnectorSettings;

// Reaches peers from behind a symmetric NAT: predicts the own public ports and asks the first
// rendezvous server to relay a ping that makes the peers answer there. The ports follow the
// round's BlockSchedule: one relay request for the other peers, one per symmetric peer, with the
// blocks placed ahead of the ports other hosts behind our NAT are expected to take.
class SymmetricConnector : public AbstractConnector {
public:
    SymmetricConnector();
    ~SymmetricConnector() override;

    void getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) override;
    // Sends the relay requests the latest getDestinations prepared. They follow the direct pings:
    // a peer's answer that reached a stateful router before our ping had mapped the flow would
    // take the port the mapping needs.
    void afterPings(P2PContext& context) override;
    // The first pings to cone peers only open our mappings: a ping reaching a peer's router that
    // keeps state before the peer has answered our relayed ping would take the port its answer
    // needs. The answers pass the mappings; the real pings follow at the resends.
    bool primesFirst() const override;
    std::chrono::milliseconds getTimeout() override;

protected:
    bool doConnectorInit() override;
    void doConnectorShutdown() override;

private:
    // A ping for the first rendezvous server to relay to peers, naming ownPorts as the places to
    // answer.
    struct RelayRequest {
        EndpointList peers;
        EndpointList ownPorts;
    };

    std::unique_ptr<SymmetricConnectorSettings> settings;
    // Prepared by getDestinations, sent by afterPings; both run on the pass's thread.
    std::vector<RelayRequest> pending;
};

}  // namespace tarn::client::impl::service::connection
