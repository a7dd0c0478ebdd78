#pragma once

#include <memory>
#include <string>

#include "tarn/client/Configurator.h"
#include "tarn/client/ConnectionService.h"
#include "tarn/client/LoggingService.h"

namespace tarn::client::impl {

struct ServiceRegistryData;

// Creates, names and initializes the three services of the process, and shuts them down at
// exit (connection, logging, configuration). Takes no lock: the first use must happen on one
// thread before the library starts threads of its own.
class ServiceRegistry {
public:
    // Created on the first call, together with the three services; the configuration service
    // is initialized (reads tarn.cfg) right away.
    static ServiceRegistry& instance();

    ~ServiceRegistry();
    ServiceRegistry(const ServiceRegistry&) = delete;
    ServiceRegistry& operator=(const ServiceRegistry&) = delete;

    Configurator& getConfigurator();
    // Initialized on each call until an initialization succeeds: for the operations that need
    // the network.
    ConnectionService& getConnectionService();
    // The connection service as it is, never initialized here: a getter does no network work.
    ConnectionService& peekConnectionService();
    LoggingService& getLoggingService();
    // The facade's interface version, kInterfaceVersion (not the package's version).
    std::string getVersion() const;

    // What getTARNClientVersion() and the start-up checkpoint print: the version of the facade's
    // interface, which hosts and the meta service compare, so it moves only when that interface does.
    // The package's own version (SOVERSION, tarn_version(), the programs' --version) is
    // TARN_CLIENT_VERSION and moves with every release.
    static constexpr const char* kInterfaceVersion = "1.0.1";

    // True when a line of this level would be written: lets callers skip formatting it.
    bool isLogged(int level);

private:
    ServiceRegistry();
    void initService(Initializable& service, const std::string& shortName);

    std::unique_ptr<ServiceRegistryData> data;
};

}  // namespace tarn::client::impl
