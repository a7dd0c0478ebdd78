#include "tarn/client/impl/ServiceRegistry.h"

#include "tarn/client/impl/service/configurator/ConfiguratorImpl.h"
#include "tarn/client/impl/service/connection/ConnectionServiceImpl.h"
#include "tarn/client/impl/service/logging/LoggingServiceImpl.h"

namespace tarn::client::impl {

namespace {
const char* const kNamePrefix = "tarn.client.";
}  // namespace

// One block, constructed in this order and destroyed in reverse.
struct ServiceRegistryData {
    service::configurator::ConfiguratorImpl configurator;
    service::connection::ConnectionServiceImpl connection;
    service::logging::LoggingServiceImpl logging;
};

ServiceRegistry& ServiceRegistry::instance() {
    static ServiceRegistry registry;
    return registry;
}

ServiceRegistry::ServiceRegistry() : data(new ServiceRegistryData) {
    initService(data->configurator, "configurator");
}

ServiceRegistry::~ServiceRegistry() {
    // The log file closes before the configuration values are cleared.
    data->connection.shutdown();
    data->logging.shutdown();
    data->configurator.shutdown();
}

Configurator& ServiceRegistry::getConfigurator() {
    return data->configurator;
}

ConnectionService& ServiceRegistry::getConnectionService() {
    initService(data->connection, "connSvc");
    return data->connection;
}

ConnectionService& ServiceRegistry::peekConnectionService() {
    return data->connection;
}

LoggingService& ServiceRegistry::getLoggingService() {
    initService(data->logging, "logger");
    return data->logging;
}

std::string ServiceRegistry::getVersion() const {
    return kInterfaceVersion;
}

bool ServiceRegistry::isLogged(int level) {
    getLoggingService();
    return data->logging.isLogged(level);
}

void ServiceRegistry::initService(Initializable& service, const std::string& shortName) {
    if (!service.isInitialized()) {
        service.setName(kNamePrefix + shortName);
        service.init();
    }
}

}  // namespace tarn::client::impl
