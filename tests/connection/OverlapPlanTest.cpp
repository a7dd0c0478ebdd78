#include "tarn/client/impl/service/connection/OverlapPlan.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::connection::OverlapPlan;

TEST(OverlapPlan, WhoMayShareOurPrivateNetwork) {
    struct Row {
        const char* what;
        std::string mask, peerLocal, peerPublic;
        bool mayShare;
    };
    // We are 10.1.0.10 behind 198.51.100.10.
    const Row rows[] = {
        {"another site", "255.255.255.0", "10.2.0.10", "198.51.100.11", false},
        {"behind the same NAT, another subnet", "255.255.255.0", "10.2.0.10", "198.51.100.10", true},
        {"one-to-one NAT: our subnet", "255.255.255.0", "10.1.0.11", "198.51.100.12", true},
        {"a wider mask takes in the other subnet", "255.0.0.0", "10.2.0.10", "198.51.100.11", true},
        {"unknown mask", "", "10.2.0.10", "198.51.100.11", true},
        {"no dotted local address", "255.255.255.0", "peer.example", "198.51.100.11", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.mayShare, OverlapPlan::mayShareNetwork("10.1.0.10", row.mask, "198.51.100.10",
                                                             row.peerLocal, row.peerPublic));
    }
}

}  // namespace
