#include "tarn/client/impl/service/connection/ConnectionServiceImpl.h"

#include "tarn/client/UninitializedException.h"

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace connection {

// Until the discovery engine lands the service holds an undiscovered topology.
struct ConnectionServiceData {
    Topology topology;
};

ConnectionServiceImpl::ConnectionServiceImpl() : data(new ConnectionServiceData) {
    data->topology.nat.increment = -1;
    data->topology.localAddr = "0.0.0.0";
    data->topology.localPort = -1;
    data->topology.publicPort = -1;
}

ConnectionServiceImpl::~ConnectionServiceImpl() = default;

void ConnectionServiceImpl::discoverTopology() {
    checkInitialized(getName(), "discoverTopology");
}

const Topology& ConnectionServiceImpl::getCurrentTopology() const {
    return data->topology;
}

void ConnectionServiceImpl::discoverConnectivity(long, const std::string&, std::vector<Peer>&) {}

bool ConnectionServiceImpl::doInit() {
    return false;
}

void ConnectionServiceImpl::doShutdown() {}

}  // namespace connection
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
