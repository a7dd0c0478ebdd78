#include "tarn/client/impl/service/connection/OverlapPlan.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;
using tarn::client::impl::service::connection::OverlapPlan;

TEST(OverlapPlan, RoundsKeepTheDocumentedBudget) {
    struct Row {
        const char* what;
        int privateMs;
        int publicMs;
        int retries;
        // Per round: its length, and whether it gives up the symmetric blocks.
        std::vector<std::pair<int, bool>> rounds;
    };
    const Row rows[] = {
        {"defaults: 2 s in all", 500, 500, 2, {{500, false}, {500, true}, {500, true}, {500, true}}},
        {"one public round", 300, 700, 0, {{300, false}, {700, true}}},
        // Only the private round: it is also the last, so it gives the blocks up.
        {"no public round", 500, 500, -1, {{500, true}}},
        {"retries below -1 count as no public round", 500, 500, -5, {{500, true}}},
        {"a zero private round still comes first", 0, 500, 1, {{0, false}, {500, true}, {500, true}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto plan =
            OverlapPlan::rounds(milliseconds(row.privateMs), milliseconds(row.publicMs), row.retries);
        ASSERT_EQ(row.rounds.size(), plan.size());
        for (std::size_t i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(milliseconds(row.rounds[i].first), plan[i].timeout) << i;
            EXPECT_EQ(i == 0, plan[i].first) << i;
            EXPECT_EQ(row.rounds[i].second, plan[i].givesUpBlocks) << i;
        }
    }
}

TEST(OverlapPlan, WhoMayShareOurPrivateNetwork) {
    struct Row {
        const char* what;
        std::string mask;
        std::string peerLocal;
        std::string peerPublic;
        bool mayShare;
    };
    // We are 10.1.0.10 behind 198.51.100.10.
    const Row rows[] = {
        {"another site", "255.255.255.0", "10.2.0.10", "198.51.100.11", false},
        {"behind the same NAT, another subnet", "255.255.255.0", "10.2.0.10", "198.51.100.10", true},
        {"our subnet, another public address (one-to-one NAT)", "255.255.255.0", "10.1.0.11", "198.51.100.12",
         true},
        {"a wider mask takes in the other subnet", "255.0.0.0", "10.2.0.10", "198.51.100.11", true},
        {"a host mask shares with nobody", "255.255.255.255", "10.1.0.11", "198.51.100.11", false},
        {"unknown mask", "", "10.2.0.10", "198.51.100.11", true},
        {"a peer local address that is no dotted text", "255.255.255.0", "peer.example", "198.51.100.11",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.mayShare, OverlapPlan::mayShareNetwork("10.1.0.10", row.mask, "198.51.100.10",
                                                             row.peerLocal, row.peerPublic));
    }
}

}  // namespace
