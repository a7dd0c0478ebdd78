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
    int getTimeout() override;

protected:
    bool doConnectorInit() override;
    void doConnectorShutdown() override;

private:
    // Asks the first rendezvous server to relay a ping to peers that names ownPorts as the places
    // to answer.
    void askRelay(P2PContext& context, const EndpointList& peers, const EndpointList& ownPorts);

    std::unique_ptr<SymmetricConnectorSettings> settings;
};

}  // namespace tarn::client::impl::service::connection
