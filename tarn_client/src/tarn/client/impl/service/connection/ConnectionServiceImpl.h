#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tarn/client/ConnectionService.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace connection {

struct ConnectionServiceData;

// The connection service: owns the discovery engine and the connectors.
class ConnectionServiceImpl : public AbstractInitializable, public ConnectionService {
public:
    ConnectionServiceImpl();
    ~ConnectionServiceImpl() override;

    void discoverTopology() override;
    const Topology& getCurrentTopology() const override;
    void discoverConnectivity(long clientId, const std::string& gameId, std::vector<Peer>& peers) override;

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<ConnectionServiceData> data;
};

}  // namespace connection
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
