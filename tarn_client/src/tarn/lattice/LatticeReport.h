#pragma once

#include <string>
#include <vector>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/lattice/ILatticeServiceClient.h"

namespace tarn::lattice {

// The logger name of every facade line.
constexpr const char* kLogger = "TARNWrapper";

// Builds the facade's meta-service reports and sends them through the host's proxy.
class LatticeReport {
public:
    // "SetNatType": eight key/value pairs from userId to natIncrement.
    static std::vector<std::string> generateLatticeDscParms(const std::string& userId,
                                                            const tarn::client::Topology& topology);
    // "UpdateP2PInfo": seven pairs. Turns every peer still at NONE into RELAY first and logs the
    // final relay usage.
    static std::vector<std::string> generateLatticeP2PParms(std::vector<tarn::client::Peer>& peers,
                                                            const std::string& gameId,
                                                            const tarn::client::Topology& topology,
                                                            long clientId);
    // Hands copies of the parameters to the proxy; true when it answered 0.
    static bool sendToLattice(const std::string& featurette, const std::string& method,
                              const std::vector<std::string>& parameters,
                              Velk::LS::ILatticeServiceClient* proxy);
    // The log text of a meta-service return code; "Lattice error" for codes outside the table.
    static std::string returnCodeText(int code);
};

}  // namespace tarn::lattice
