#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/service/connection/NonSymmetricConnector.h"

#include <cstdint>
#include <vector>

#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/connection/P2PContext.h"

namespace tarn::client::impl::service::connection {

namespace {

// Whether a ping from behind our NAT to the peer's public endpoint can open the path. A
// port-restricted NAT gives up on a symmetric peer: its public port towards us is unknown.
bool canPing(NatType own, NatType peer) {
    switch (own) {
        case NatType::NONE:
        case NatType::FULL_CONE:
        case NatType::RESTRICTED_CONE:
            return true;
        case NatType::PORT_RESTRICTED_CONE:
            return peer != NatType::SYMMETRIC;
        default:
            return false;
    }
}

}  // namespace

struct NonSymmetricConnectorSettings {
    // Wait of one round.
    std::chrono::milliseconds timeout{500};
};

NonSymmetricConnector::NonSymmetricConnector() : settings(new NonSymmetricConnectorSettings) {}

NonSymmetricConnector::~NonSymmetricConnector() = default;

void NonSymmetricConnector::getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) {
    std::vector<Peer> peers;
    context.getUnconnectedPeers(peers);
    if (peers.empty()) {
        return;
    }
    const Topology own = context.getTopology();
    for (const Peer& peer : peers) {
        Network::Endpoint endpoint;
        Network::initEndpoint(peer.topology.publicAddr, peer.topology.publicPort, endpoint);
        if (canPing(own.nat.type, peer.topology.nat.type)) {
            dests.push_back(endpoint);
        }
    }
    Network::Endpoint target;
    Network::initEndpoint(own.publicAddr, own.publicPort, target);
    targets.push_back(target);
}

std::chrono::milliseconds NonSymmetricConnector::getTimeout() {
    return settings->timeout;
}

bool NonSymmetricConnector::doConnectorInit() {
    settings->timeout =
        configurator::Settings::kTimeoutNat.milliseconds(ServiceRegistry::instance().getConfigurator());
    return true;
}

void NonSymmetricConnector::doConnectorShutdown() {}

}  // namespace tarn::client::impl::service::connection
