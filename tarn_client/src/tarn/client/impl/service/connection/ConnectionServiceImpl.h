#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tarn/client/ConnectionService.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn::client::impl::service::connection {

struct ConnectionServiceData;

// The connection service: owns the discovery engine and the connectors, and logs the start-up
// checkpoint with every effective configuration value. Takes no lock: its callers never overlap.
class ConnectionServiceImpl : public AbstractInitializable, public ConnectionService {
public:
    ConnectionServiceImpl();
    ~ConnectionServiceImpl() override;

    // Always a full discovery; the engine's exceptions pass through.
    void discoverTopology() override;
    // The engine's own topology object, also on an uninitialized service.
    const Topology& getCurrentTopology() const override;
    const NatMeasurement& getNatMeasurement() const override;
    void discoverConnectivity(long clientId, const std::string& gameId, std::vector<Peer>& peers) override;

protected:
    // Initializes the discovery engine, then the private, non-symmetric and symmetric connectors.
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<ConnectionServiceData> data;
};

}  // namespace tarn::client::impl::service::connection
