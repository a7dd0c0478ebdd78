#include "tarn/lattice/LatticeReport.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/lattice/TARNWrapper.h"

#include "RecordingLatticeClient.h"

using tarn::lattice::LatticeReport;
using tarn::lattice::TARNWrapper;
using RecordingProxy = tarn::test::RecordingLatticeClient;

namespace {}  // namespace

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
