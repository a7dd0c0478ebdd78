#include "tarn/client/impl/ServiceRegistry.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "ScopedWorkDir.h"

using tarn::client::impl::ServiceRegistry;

namespace {

// Every test runs in a process of its own; this moves it into an empty directory so that no
// tarn.cfg of another test is read and the log file lands where nobody else writes.
class ServiceRegistryTest : public ::testing::Test {
protected:
    tarn::test::ScopedWorkDir dir{"tarn-registry"};
};

}  // namespace

TEST_F(ServiceRegistryTest, ServicesAreNamedAndInitializedOnFirstUse) {
    ServiceRegistry& registry = ServiceRegistry::instance();
    EXPECT_EQ(&registry, &ServiceRegistry::instance());
    EXPECT_EQ(registry.getVersion(), "1.0.1");

    auto& configurator = registry.getConfigurator();
    EXPECT_EQ(configurator.getName(), "tarn.client.configurator");
    EXPECT_TRUE(configurator.isInitialized());

    auto& logger = registry.getLoggingService();
    EXPECT_EQ(logger.getName(), "tarn.client.logger");
    EXPECT_TRUE(logger.isInitialized());
    EXPECT_EQ(&logger, &registry.getLoggingService());
}

TEST_F(ServiceRegistryTest, FailedInitializationIsRetriedOnEveryAccess) {
    // Without rendezvous addresses the connection service cannot come up.
    ServiceRegistry& registry = ServiceRegistry::instance();
    registry.getConfigurator().setValue("tarn.timeout.discovery", "10");
    auto& connection = registry.getConnectionService();
    EXPECT_EQ(connection.getName(), "tarn.client.connSvc");
    EXPECT_FALSE(connection.isInitialized());

    // A renamed service gets its registry name back: setName runs again with the retried init.
    connection.setName("renamed");
    EXPECT_EQ(&connection, &registry.getConnectionService());
    EXPECT_EQ(connection.getName(), "tarn.client.connSvc");
    EXPECT_FALSE(connection.isInitialized());
}

TEST_F(ServiceRegistryTest, ConfigurationSetBeforeFirstLogReachesTheLoggingService) {
    ServiceRegistry& registry = ServiceRegistry::instance();
    registry.getConfigurator().setValue("tarn.loglevel", "ERROR");
    EXPECT_FALSE(registry.isLogged(3));
    EXPECT_TRUE(registry.isLogged(4));
}

TEST_F(ServiceRegistryTest, ExitShutsTheServicesDownAndClosesTheLogFile) {
    // The registry is destroyed at process exit; the log file must be complete by then.
    EXPECT_EXIT(
        {
            ServiceRegistry::instance().getLoggingService().error("test", "exit", "last line before exit");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    std::ifstream log("tarn.log");
    std::string content((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("[test:exit] last line before exit"), std::string::npos) << content;
}
