#include "tarn/client/impl/service/connection/AbstractConnector.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ConnectorFixture.h"
#include "tarn/client/UninitializedException.h"
#include "tarn/client/impl/service/connection/NonSymmetricConnector.h"
#include "tarn/client/impl/service/connection/PrivateNetworkConnector.h"
#include "tarn/client/impl/service/connection/SymmetricConnector.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::AbstractConnector;
using tarn::client::impl::service::connection::NonSymmetricConnector;
using tarn::client::impl::service::connection::PrivateNetworkConnector;
using tarn::client::impl::service::connection::SymmetricConnector;

class AbstractConnectorTest : public ConnectorFixture {};

struct Kind {
    const char* name;
    const char* timeoutKey;
    std::function<std::unique_ptr<AbstractConnector>()> make;
};

const Kind kKinds[] = {
    {"private", "tarn.timeout.private",
     [] { return std::unique_ptr<AbstractConnector>(new PrivateNetworkConnector); }},
    {"nat", "tarn.timeout.nat", [] { return std::unique_ptr<AbstractConnector>(new NonSymmetricConnector); }},
    {"nat.sym", "tarn.timeout.nat.sym",
     [] { return std::unique_ptr<AbstractConnector>(new SymmetricConnector); }},
};

TEST_F(AbstractConnectorTest, RoundOnAnUninitializedConnectorThrows) {
    makeContext();
    for (const Kind& kind : kKinds) {
        std::unique_ptr<AbstractConnector> connector = kind.make();
        connector->setName(std::string("test.") + kind.name);
        try {
            connector->connect(*context);
            ADD_FAILURE() << kind.name << " did not throw";
        } catch (const tarn::client::UninitializedException& e) {
            EXPECT_EQ(std::string("[test.") + kind.name + ":connect] test." + kind.name +
                          " has not been initialized!",
                      e.what());
        }
    }
}

TEST_F(AbstractConnectorTest, TimeoutComesFromTheConfigurationAndItsDefaultIsStored) {
    for (const Kind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        std::unique_ptr<AbstractConnector> connector = kind.make();
        EXPECT_EQ(std::chrono::milliseconds(500), connector->getTimeout());
        ASSERT_FALSE(config().hasValue(kind.timeoutKey));
        initConnector(*connector);
        EXPECT_EQ(std::chrono::milliseconds(500), connector->getTimeout());
        EXPECT_EQ("500", config().getString(kind.timeoutKey));
        // A re-initialization reads the key again.
        connector->shutdown();
        configure(kind.timeoutKey, "1250");
        initConnector(*connector);
        EXPECT_EQ(std::chrono::milliseconds(1250), connector->getTimeout());
        connector->shutdown();
    }
}

}  // namespace
