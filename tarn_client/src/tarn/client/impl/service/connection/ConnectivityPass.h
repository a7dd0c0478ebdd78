#pragma once

#include <string>
#include <vector>

#include "tarn/client/Peer.h"

namespace tarn::client::impl::service::connection {

struct ConnectionServiceData;
class AbstractConnector;
class Discoveror;
class P2PContext;

// One connectivity pass of the connection service: the private phase, the public phase in
// rounds, and the final relay marking, written into the caller's peer list.
class ConnectivityPass {
public:
    // serviceName is the logger name of every line; initialized tells whether the service is.
    static void discoverConnectivity(const std::string& serviceName, bool initialized,
                                     ConnectionServiceData& engines, long clientId, const std::string& gameId,
                                     std::vector<Peer>& peers);
    // Refreshes an expired topology first; false (after a warning) when the service is not
    // initialized or the topology is not valid.
    static bool arePreConditionsOk(const std::string& serviceName, bool initialized,
                                   ConnectionServiceData& engines, long clientId, const std::string& gameId);
    // One phase: up to extraRounds + 1 rounds of the connector while peers remain to reach.
    // With a discovery engine (the symmetric phase) the latest own public port is measured first.
    static void doConnect(P2PContext& context, const std::string& serviceName, const std::string& phase,
                          AbstractConnector& connector, int extraRounds, Discoveror* discoveror = nullptr);
    // The local client's own entry becomes SELF, every entry still undecided RELAY; logs the end
    // checkpoint with the relay usage.
    static void markPeersForRelay(const std::string& gameId, std::vector<Peer>& peers,
                                  const std::string& serviceName, long clientId);
    // "\n[\n\t<peer>...\n]": the form every checkpoint line uses for a peer list.
    static std::string peerListText(const std::vector<Peer>& peers);
};

}  // namespace tarn::client::impl::service::connection
