#include "tarn/client/impl/service/connection/ConnectionServiceImpl.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ClientConfig.h"
#include "RealRendezvous.h"
#include "TestLog.h"
#include "tarn/client/NoUDPConnectionException.h"
#include "tarn/client/UninitializedException.h"
#include "tarn/client/impl/ServiceRegistry.h"

using tarn::client::ConnectionService;
using tarn::client::ConnectionType;
using tarn::client::NatType;
using tarn::client::NoUDPConnectionException;
using tarn::client::Peer;
using tarn::client::Topology;
using tarn::client::UninitializedException;
using tarn::client::impl::ServiceRegistry;
using tarn::test::config;
using tarn::test::RealRendezvous;
using tarn::test::TestLog;

namespace {

// The start-up checkpoint as the service must write it for the configuration as it is now.
std::string expectedCheckpoint() {
    std::string text =
        "[tarn.client.connSvc:doInit] [CHECKPOINT@CONNSVR_INIT] STARTUP CONFIG FOR TARN v1.0.1 = \n[\n"
        "\tIDL version = 2.0\n";
    for (const auto& entry : config().getValues()) {
        text += "\t" + entry.first + " = " + entry.second + "\n";
    }
    return text + "]\n";
}

}  // namespace

TEST(ConnectionServiceImpl, StartupCheckpointListsEveryEffectiveValue) {
    TestLog log;
    RealRendezvous server;
    server.configureClient(config());

    ConnectionService& service = ServiceRegistry::instance().getConnectionService();
    ASSERT_TRUE(service.isInitialized());
    EXPECT_EQ(service.getName(), "tarn.client.connSvc");

    // Every default the service and its engines read is stored, so the listing shows it.
    const std::pair<const char*, std::string> defaults[] = {
        {"tarn.retries", "2"},
        {"tarn.trigger.discovery", "2"},
        {"tarn.timeout.discovery", "200"},
        {"tarn.timeout.private", "500"},
        {"tarn.timeout.nat", "500"},
        {"tarn.timeout.nat.sym", "500"},
        {"tarn.candidate_addrs", "30"},
        {"tarn.port.1", std::to_string(server.port1())},
        {"tarn.port.2", std::to_string(server.port2())},
    };
    for (const auto& entry : defaults) {
        EXPECT_EQ(config().getString(entry.first), entry.second) << entry.first;
        EXPECT_TRUE(log.contains("\n\t" + std::string(entry.first) + " = " + entry.second + "\n"))
            << entry.first;
    }
    EXPECT_EQ(log.count("[CHECKPOINT@CONNSVR_INIT]"), 1);
    EXPECT_TRUE(log.contains("[INFO] "));
    EXPECT_TRUE(log.contains(expectedCheckpoint())) << log.text();
    // The engines log under the service's name plus their own suffix.
    EXPECT_TRUE(log.contains("[tarn.client.connSvc.discoveror:resolveLocalEndpoint002] Ping succeeded"));
}

TEST(ConnectionServiceImpl, ConfiguredRetriesAreListed) {
    TestLog log;
    RealRendezvous server;
    server.configure(config());
    config().setValue("tarn.retries", "5");
    ASSERT_TRUE(ServiceRegistry::instance().getConnectionService().isInitialized());
    EXPECT_TRUE(log.contains("\n\ttarn.retries = 5\n"));
}

TEST(ConnectionServiceImpl, ClampedCandidateCountIsListed) {
    TestLog log;
    RealRendezvous server;
    server.configure(config());
    config().setValue("tarn.candidate_addrs", "200");
    ASSERT_TRUE(ServiceRegistry::instance().getConnectionService().isInitialized());
    EXPECT_TRUE(log.contains("\n\ttarn.candidate_addrs = 64\n")) << log.text();
}

TEST(ConnectionServiceImpl, FailedDiscoveryEngineLeavesTheConnectorsAlone) {
    TestLog log;
    // No rendezvous server configured: the discovery engine cannot initialize.
    ConnectionService& service = ServiceRegistry::instance().getConnectionService();
    EXPECT_FALSE(service.isInitialized());
    // The checkpoint is written all the same, without the connectors' settings: they never ran.
    EXPECT_EQ(log.count("[CHECKPOINT@CONNSVR_INIT]"), 1);
    EXPECT_TRUE(log.contains(expectedCheckpoint())) << log.text();
    for (const char* key :
         {"tarn.timeout.private", "tarn.timeout.nat", "tarn.timeout.nat.sym", "tarn.candidate_addrs"}) {
        EXPECT_FALSE(config().hasValue(key)) << key;
    }

    try {
        service.discoverTopology();
        ADD_FAILURE() << "an uninitialized service must refuse";
    } catch (const UninitializedException& e) {
        EXPECT_STREQ(e.what(),
                     "[tarn.client.connSvc:discoverTopology] tarn.client.connSvc has not been initialized!");
    }
    // The topology is still readable: the engine's initial one.
    const Topology& topology = service.getCurrentTopology();
    EXPECT_EQ(topology.localAddr, "0.0.0.0");
    EXPECT_EQ(topology.localPort, -1);
    EXPECT_EQ(topology.nat.increment, -1);
    EXPECT_FALSE(topology.isValid());

    // Every further access tries again.
    ServiceRegistry::instance().getConnectionService();
    EXPECT_EQ(log.count("[CHECKPOINT@CONNSVR_INIT]"), 2);

    // A connectivity pass on the uninitialized service still decides every peer: relay.
    std::vector<Peer> peers(2);
    peers[0].identifier = 1;
    peers[1].identifier = 2;
    service.discoverConnectivity(1, "game-1", peers);
    EXPECT_EQ(peers[0].connection, ConnectionType::SELF);
    EXPECT_EQ(peers[1].connection, ConnectionType::RELAY);
}

TEST(ConnectionServiceImpl, EveryDiscoverTopologyRunsAFullDiscovery) {
    TestLog log;
    RealRendezvous server;
    server.configureClient(config());
    ConnectionService& service = ServiceRegistry::instance().getConnectionService();
    ASSERT_TRUE(service.isInitialized());

    service.discoverTopology();
    service.discoverTopology();
    const Topology& topology = service.getCurrentTopology();
    EXPECT_EQ(topology.nat.type, NatType::NONE);
    EXPECT_TRUE(topology.isValid());
    EXPECT_EQ(log.count("Discovering NAT behavior"), 2);
    const std::string local = topology.localAddr + ":" + std::to_string(topology.localPort);
    EXPECT_EQ(
        log.count(
            "[tarn.client.connSvc:discoverTopology] [CHECKPOINT@CONNSVR_DSCVR] DETECTED LOCAL TOPOLOGY = "
            "[NAT=[type=NONE, behavior=NOT SENSITIVE, increment=0], local addr=" +
            local + ", public addr=" + local + "]"),
        2);

    // The engine's exceptions pass through, and no checkpoint follows them.
    server.stop();
    EXPECT_THROW(service.discoverTopology(), NoUDPConnectionException);
    EXPECT_EQ(log.count("[CHECKPOINT@CONNSVR_DSCVR]"), 2);

    // Shutting down shuts the engine down, which forgets the topology.
    service.shutdown();
    EXPECT_FALSE(service.isInitialized());
    EXPECT_EQ(service.getCurrentTopology().localAddr, "0.0.0.0");
    EXPECT_EQ(service.getCurrentTopology().publicAddr, "0.0.0.0");
    EXPECT_EQ(service.getCurrentTopology().nat.type, NatType::UNKNOWN);
}
