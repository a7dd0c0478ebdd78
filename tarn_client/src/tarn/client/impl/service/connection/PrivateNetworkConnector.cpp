#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/service/connection/PrivateNetworkConnector.h"

#include <cstdint>
#include <vector>

#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/connection/P2PContext.h"

namespace tarn::client::impl::service::connection {

struct PrivateNetworkConnectorSettings {
    // Wait of one round.
    std::chrono::milliseconds timeout{500};
};

PrivateNetworkConnector::PrivateNetworkConnector() : settings(new PrivateNetworkConnectorSettings) {}

PrivateNetworkConnector::~PrivateNetworkConnector() = default;

void PrivateNetworkConnector::getDestinations(EndpointList& dests, EndpointList& targets,
                                              P2PContext& context) {
    std::vector<Peer> peers;
    context.getUnconnectedPeers(peers);
    if (peers.empty()) {
        return;
    }
    for (const Peer& peer : peers) {
        Network::Endpoint endpoint;
        Network::initEndpoint(peer.topology.localAddr, peer.topology.localPort, endpoint);
        dests.push_back(endpoint);
    }
    targets.push_back(context.getMessenger().getLocalEndpoint());
}

std::chrono::milliseconds PrivateNetworkConnector::getTimeout() {
    return settings->timeout;
}

bool PrivateNetworkConnector::doConnectorInit() {
    settings->timeout =
        configurator::Settings::kTimeoutPrivate.milliseconds(ServiceRegistry::instance().getConfigurator());
    return true;
}

void PrivateNetworkConnector::doConnectorShutdown() {}

}  // namespace tarn::client::impl::service::connection
