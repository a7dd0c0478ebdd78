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
    // One phase through a connector: up to extraRounds + 1 rounds while peers remain to reach.
    static void doConnect(P2PContext& context, const std::string& serviceName, const std::string& phase,
                          AbstractConnector& connector, int extraRounds);
    // The phase behind a symmetric NAT: as above, measuring the latest own public port before every
    // round, from which the connector predicts (the first measurement's failure ends the pass, a
    // later one repeats the round's announcements). A phase that runs no round answers held relayed
    // pings at once.
    static void doConnect(P2PContext& context, AbstractConnector& connector, const std::string& serviceName,
                          const std::string& phase, Discoveror& discoveror, int extraRounds);
    // Both phases at once (tarn.connect.overlap): OverlapPlan's rounds, each running the private
    // connector (first round only) and the public connector in one wait. Closes the private window
    // that the pass opened before its listener started. Logs the START lines of
    // both phases first, the private END line when the private window closes, and the public
    // phase's round and END lines as its own phase would.
    static void doConnectOverlapped(P2PContext& context, const std::string& serviceName,
                                    ConnectionServiceData& engines);
    // The local client's own entry becomes SELF, every entry still undecided RELAY; logs the end
    // checkpoint with the relay usage.
    static void markPeersForRelay(const std::string& gameId, std::vector<Peer>& peers,
                                  const std::string& serviceName, long clientId);
    // "\n[\n\t<peer>...\n]": the form every checkpoint line uses for a peer list.
    static std::string peerListText(const std::vector<Peer>& peers);
};

}  // namespace tarn::client::impl::service::connection
