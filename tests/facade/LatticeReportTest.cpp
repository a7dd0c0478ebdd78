#include "tarn/lattice/LatticeReport.h"

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/lattice/TARNWrapper.h"

#include "RecordingLatticeClient.h"
#include "ScopedGroupingLocale.h"
#include "TestLog.h"

using tarn::client::ConnectionType;
using tarn::client::NatBehavior;
using tarn::client::NatType;
using tarn::client::Peer;
using tarn::client::Topology;
using tarn::lattice::LatticeReport;
using tarn::lattice::TARNWrapper;
using tarn::test::ScopedGroupingLocale;
using tarn::test::TestLog;
using RecordingProxy = tarn::test::RecordingLatticeClient;

namespace {

Topology topology(const std::string& local, int localPort, const std::string& publicAddr, int publicPort) {
    Topology t;
    t.nat = {NatType::SYMMETRIC, NatBehavior::PORT_SENSITIVE, 1000};
    t.localAddr = local;
    t.localPort = localPort;
    t.publicAddr = publicAddr;
    t.publicPort = publicPort;
    return t;
}

Peer peer(long id, ConnectionType connection) {
    Peer p;
    p.identifier = id;
    p.connection = connection;
    p.topology = topology("10.0.0." + std::to_string(id), 600, "203.0.113." + std::to_string(id), 700);
    return p;
}

std::string text(const Peer& p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

}  // namespace

TEST(LatticeReport, ReturnCodeTable) {
    TARNWrapper::getInstance();
    const std::pair<int, const char*> rows[] = {
        {-1, "Unknown error"},
        {0, "Successful transmission to Lattice"},
        {105, "Lattice server unreachable"},
        {106, "Missing intf version"},
        {107, "Corrupt server version"},
        {108, "Invalid server response"},
        {109, "Project version mismatch"},
        {200, "No featurette name"},
        {201, "No function name"},
        {202, "Featurette mismatch"},
        {203, "Lattice unreachable"},
        {204, "Invalid request"},
        {7, "Lattice error"},
        {-2, "Lattice error"},
        {110, "Lattice error"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(LatticeReport::returnCodeText(row.first), row.second) << row.first;
    }
}

TEST(LatticeReport, SendCallsTheProxyWithCopiesAndThePairCount) {
    const std::vector<std::string> parameters = {"userId", "u1", "localIp", "10.0.0.2", "odd"};
    TARNWrapper::getInstance();
    for (std::int32_t code : {0, 108, 7}) {
        RecordingProxy proxy(code);
        EXPECT_EQ(LatticeReport::sendToLattice("P2P", "SetNatType", parameters, &proxy), code == 0);
        EXPECT_EQ(proxy.calls, (std::vector<std::string>{"getContext", "invoke"}));
        ASSERT_EQ(proxy.invocations.size(), 1u);
        const RecordingProxy::Invocation& call = proxy.invocations[0];
        EXPECT_EQ(call.featurette, "P2P");
        EXPECT_EQ(call.method, "SetNatType");
        EXPECT_EQ(call.context, RecordingProxy::kContext);
        EXPECT_EQ(call.pairCount, 2);  // five strings: integer division
        EXPECT_EQ(call.reservedA, 0);
        EXPECT_EQ(call.reservedB, 0);
        ASSERT_EQ(call.parameters.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(call.parameters[i], parameters[i]);
            EXPECT_NE(call.pointers[i], parameters[i].c_str()) << "the proxy must get copies";
        }
    }
}

TEST(LatticeReport, NoProxyIsAFailureAndAThrowingProxyReachesTheCaller) {
    EXPECT_FALSE(LatticeReport::sendToLattice("P2P", "SetNatType", {"userId", "x"}, nullptr));

    RecordingProxy proxy;
    proxy.throwInInvoke = true;
    EXPECT_THROW(LatticeReport::sendToLattice("P2P", "UpdateP2PInfo", {"sessionId", "g"}, &proxy),
                 std::runtime_error);
}

TEST(LatticeReport, SendLogsTheParameterListAndTheReturnCode) {
    // The facade's constructor fills the return-code table.
    TARNWrapper::getInstance();
    tarn::client::impl::ServiceRegistry::instance().getConfigurator().setValue("tarn.logdir", "");
    tarn::client::impl::ServiceRegistry::instance().getConfigurator().setValue("tarn.loglevel", "DEBUG");
    RecordingProxy proxy(108);
    testing::internal::CaptureStdout();
    LatticeReport::sendToLattice("P2P", "SetNatType", {"userId", "u1", "natType", "4"}, &proxy);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        out.find("[TARNWrapper:sendToLattice001] Lattice P2P::SetNatType parameters = \n[\n\tuserId = u1\n"
                 "\tnatType = 4\n]\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("[TARNWrapper:sendToLattice004] Lattice return code 108: Invalid server response"),
              std::string::npos)
        << out;
}

TEST(LatticeReport, P2PParmsTurnUndecidedPeersIntoRelaysAndCountThem) {
    using C = ConnectionType;
    struct Case {
        const char* what;
        std::vector<C> before;
        std::vector<C> after;
        const char* usage;  // relays " of " peers other than ourselves
        const char* failures;
    };
    const std::vector<Case> cases = {
        {"self, public, undecided",
         {C::SELF, C::DIRECT_PUBLIC, C::NONE},
         {C::SELF, C::DIRECT_PUBLIC, C::RELAY},
         "1 of 2",
         "1"},
        {"nothing decided", {C::NONE, C::NONE}, {C::RELAY, C::RELAY}, "2 of 2", "2"},
        {"only ourselves", {C::SELF}, {C::SELF}, "0 of 0", "0"},
        {"relay already decided",
         {C::RELAY, C::DIRECT_PRIVATE, C::SELF, C::NONE},
         {C::RELAY, C::DIRECT_PRIVATE, C::SELF, C::RELAY},
         "2 of 3",
         "2"},
        {"a value outside the table stays", {static_cast<C>(9)}, {static_cast<C>(9)}, "0 of 1", "0"},
    };
    TestLog log;
    const Topology ours = topology("192.168.0.10", 5000, "198.51.100.20", 6000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Peer> peers;
        for (std::size_t i = 0; i < c.before.size(); ++i) {
            peers.push_back(peer(static_cast<long>(i + 1), c.before[i]));
        }
        const std::vector<std::string> parameters =
            LatticeReport::generateLatticeP2PParms(peers, "game-7", ours, 42);

        std::string list = "\n[";
        for (std::size_t i = 0; i < peers.size(); ++i) {
            EXPECT_EQ(peers[i].connection, c.after[i]) << i;
            list += "\n\t" + text(peers[i]);
        }
        list += "\n]";
        EXPECT_TRUE(log.contains(
            "] [TARNWrapper:generateLatticeP2PParms] [CHECKPOINT@P2P_END] FINAL P2P RESULT: "
            "UDP RELAY USAGE = " +
            std::string(c.usage) + " PEER(S); PEER LIST FOR CLIENT/GAME 42/game-7 = " + list + "\n"))
            << log.text();
        const std::vector<std::string> expected = {
            "sessionId", "game-7",        "failures",   c.failures, "peers",     std::to_string(peers.size()),
            "publicIp",  "198.51.100.20", "publicPort", "6000",     "personaId", "42",
            "localPort", "5000"};
        EXPECT_EQ(parameters, expected);
    }
    EXPECT_EQ(log.count("[INFO] ["), static_cast<int>(cases.size()));
}

TEST(LatticeReport, NumbersIgnoreTheHostsGlobalLocale) {
    TestLog log;
    TARNWrapper::getInstance();
    ScopedGroupingLocale grouping;
    const Topology ours = topology("192.168.0.10", 13434, "198.51.100.20", 60000);

    const std::vector<std::string> discovery = LatticeReport::generateLatticeDscParms("user-1", ours);
    const std::vector<std::string> expectedDiscovery = {
        "userId",        "user-1",     "localIp", "192.168.0.10", "localPort", "13434",       "publicIp",
        "198.51.100.20", "publicPort", "60000",   "natType",      "5",         "natBehavior", "3",
        "natIncrement",  "1000"};
    EXPECT_EQ(discovery, expectedDiscovery);

    std::vector<Peer> peers(1200, peer(1, ConnectionType::NONE));
    const std::vector<std::string> connectivity =
        LatticeReport::generateLatticeP2PParms(peers, "game-1", ours, 1234567);
    const std::vector<std::string> expectedConnectivity = {
        "sessionId",     "game-1",     "failures", "1200",      "peers",   "1200",      "publicIp",
        "198.51.100.20", "publicPort", "60000",    "personaId", "1234567", "localPort", "13434"};
    EXPECT_EQ(connectivity, expectedConnectivity);
    EXPECT_TRUE(
        log.contains("UDP RELAY USAGE = 1200 of 1200 PEER(S); PEER LIST FOR CLIENT/GAME 1234567/game-1 = "
                     "\n[\n\t[identifier=1, connection=RELAY, topology=[NAT=[type=SYMMETRIC, "
                     "behavior=PORT SENSITIVE, increment=1000], local addr=10.0.0.1:600, public "
                     "addr=203.0.113.1:700]]\n"));
}
