#include "tarn/client/impl/service/connection/ConnectionServiceImpl.h"

#include <sstream>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/service/connection/ConnectionServiceData.h"
#include "tarn/client/impl/service/connection/ConnectivityPass.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

using configurator::Settings;

ConnectionServiceImpl::ConnectionServiceImpl() : data(new ConnectionServiceData) {}

ConnectionServiceImpl::~ConnectionServiceImpl() = default;

void ConnectionServiceImpl::discoverTopology() {
    const std::string& name = getName();
    checkInitialized(name, "discoverTopology");
    data->discoveror.doMajorDiscovery();
    Log::debug(name, "discoverTopology", "[CHECKPOINT@CONNSVR_DSCVR] DETECTED LOCAL TOPOLOGY = %1%",
               data->discoveror.getTopology());
}

const Topology& ConnectionServiceImpl::getCurrentTopology() const {
    return data->discoveror.getTopology();
}

const NatMeasurement& ConnectionServiceImpl::getNatMeasurement() const {
    return data->discoveror.getMeasurement();
}

void ConnectionServiceImpl::discoverConnectivity(long clientId, const std::string& gameId,
                                                 std::vector<Peer>& peers) {
    ConnectivityPass::discoverConnectivity(getName(), isInitialized(), *data, clientId, gameId, peers);
}

bool ConnectionServiceImpl::doInit() {
    const std::string& name = getName();
    ServiceRegistry& registry = ServiceRegistry::instance();
    Configurator& config = registry.getConfigurator();
    // Stored back clamped, so that the discovery engine and the checkpoint read the value in use.
    data->retries = static_cast<int>(Settings::kRetries.clamped(config, name, "doInit000"));
    data->overlap = Settings::kConnectOverlap.on(config);

    Initializable* const engines[] = {&data->discoveror, &data->privateConnector, &data->natConnector,
                                      &data->symNatConnector};
    const char* const suffixes[] = {".discoveror", ".connector.private", ".connector.nat",
                                    ".connector.nat.sym"};
    for (std::size_t i = 0; i < sizeof(engines) / sizeof(engines[0]); ++i) {
        engines[i]->setName(name + suffixes[i]);
    }
    // The first failure stops the chain: the engines after it stay uninitialized until a later init().
    bool ready = true;
    for (Initializable* engine : engines) {
        if (!engine->init()) {
            ready = false;
            break;
        }
    }

    // Written after the engines ran, so the listing shows every default they stored.
    std::ostringstream checkpoint;
    checkpoint << "[CHECKPOINT@CONNSVR_INIT] STARTUP CONFIG FOR TARN v" << registry.getVersion() << " = \n[\n"
               << "\tIDL version = " << generated::idlVersion() << "\n";
    for (const auto& entry : config.getValues()) {
        checkpoint << "\t" << entry.first << " = " << entry.second << "\n";
    }
    checkpoint << "]";
    Log::info(name, "doInit", checkpoint.str());
    return ready;
}

void ConnectionServiceImpl::doShutdown() {
    data->discoveror.shutdown();
    data->privateConnector.shutdown();
    data->natConnector.shutdown();
    data->symNatConnector.shutdown();
}

}  // namespace tarn::client::impl::service::connection
