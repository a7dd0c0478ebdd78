#pragma once

#include <string>
#include <vector>

#include "tarn/client/Export.h"
#include "tarn/client/Initializable.h"
#include "tarn/client/NatMeasurement.h"
#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"

namespace tarn::client {

// Discovery of the local topology and connectivity passes over a game's peer list.
class TARN_API ConnectionService : public virtual Initializable {
public:
    ~ConnectionService() override;
    // Always runs a full discovery; throws when the service or the network fails.
    virtual void discoverTopology() = 0;
    // The topology held by the discovery engine; never fails.
    virtual const Topology& getCurrentTopology() const = 0;
    // Tries to reach every peer and writes each result into the list.
    virtual void discoverConnectivity(long clientId, const std::string& gameId, std::vector<Peer>& peers) = 0;
    // What the last full discovery measured, from which the standard mapping and filtering
    // behaviours follow; never fails. Last, so that the earlier slots keep their places.
    virtual const NatMeasurement& getNatMeasurement() const = 0;
};

}  // namespace tarn::client
