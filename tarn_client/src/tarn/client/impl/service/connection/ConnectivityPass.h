#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tarn/client/Peer.h"

namespace tarn::client::impl::service::connection {

struct ConnectionServiceData;
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
    // Both phases as PassPlan lays them out for the service's mode and our NAT, in one loop: the
    // START, round and END lines of each phase, the symmetric side set up once (the foreign port
    // rate, the port probe). A first measurement of the latest port that fails ends the pass
    // with its exception. Held relayed pings are answered at once when no public round ran or
    // every peer is decided.
    static void connectPeers(P2PContext& context, const std::string& serviceName,
                             ConnectionServiceData& engines);
    // The local client's own entry becomes SELF, every entry still undecided RELAY; logs the end
    // checkpoint with the relay usage, which counts those and the entries of leftForRelay (indices
    // the pass itself left for the relay as unusable), but not entries the host passed as RELAY.
    static void markPeersForRelay(const std::string& gameId, std::vector<Peer>& peers,
                                  const std::string& serviceName, long clientId,
                                  const std::vector<std::size_t>& leftForRelay = {});
    // "\n[\n\t<peer>...\n]": the form every checkpoint line uses for a peer list.
    static std::string peerListText(const std::vector<Peer>& peers);
};

}  // namespace tarn::client::impl::service::connection
