#include "tarn/client/impl/service/connection/PeerTable.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::PeerTable;

// The private window of the overlapped pass. We are 10.1.0.10 behind 198.51.100.10 on a /24.
TEST(PeerTable, PrivateWindowLetsAPrivateAnswerWin) {
    const Topology sameNat =
        topology(NatType::PORT_RESTRICTED_CONE, "10.1.0.11", 5000, "198.51.100.10", 5000);
    const Topology farSite =
        topology(NatType::PORT_RESTRICTED_CONE, "10.2.0.10", 5000, "198.51.100.11", 6000);
    struct Answer {
        const char* from;
        int port;
    };
    struct Row {
        const char* what;
        Topology listed;
        std::vector<Answer> beforeClose;
        std::vector<Answer> afterClose;
        ConnectionType whileOpen;
        ConnectionType atEnd;
        int publicPort;
    };
    const Row rows[] = {
        {"a far peer's public answer decides at once",
         farSite,
         {{"198.51.100.11", 6000}},
         {},
         ConnectionType::DIRECT_PUBLIC,
         ConnectionType::DIRECT_PUBLIC,
         6000},
        {"hairpin: the public answer first, then the private one",
         sameNat,
         {{"198.51.100.10", 5000}, {"10.1.0.11", 5000}},
         {},
         ConnectionType::DIRECT_PRIVATE,
         ConnectionType::DIRECT_PRIVATE,
         5000},
        {"only public answers: the first one counts when the window closes",
         sameNat,
         {{"198.51.100.10", 7000}, {"198.51.100.10", 7001}},
         {},
         ConnectionType::NONE,
         ConnectionType::DIRECT_PUBLIC,
         7000},
        {"a private answer after the window does not undo the public mark",
         sameNat,
         {{"198.51.100.10", 7000}},
         {{"10.1.0.11", 5000}},
         ConnectionType::NONE,
         ConnectionType::DIRECT_PUBLIC,
         7000},
        {"no answer in the window",
         sameNat,
         {},
         {{"198.51.100.10", 7000}},
         ConnectionType::NONE,
         ConnectionType::DIRECT_PUBLIC,
         7000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Topology own = topology(NatType::PORT_RESTRICTED_CONE, "10.1.0.10", 4000, "198.51.100.10", 4000);
        std::vector<Peer> peers = {peer(2, row.listed)};
        PeerTable table(peers, own);
        table.openPrivateWindow("255.255.255.0");
        for (const Answer& answer : row.beforeClose) {
            table.markConnected(endpoint(answer.from, answer.port), 0);
        }
        EXPECT_EQ(row.whileOpen, peers[0].connection);
        EXPECT_EQ(row.whileOpen == ConnectionType::NONE ? 1 : 0, table.countUnconnected());
        table.closePrivateWindow();
        for (const Answer& answer : row.afterClose) {
            table.markConnected(endpoint(answer.from, answer.port), 0);
        }
        EXPECT_EQ(row.atEnd, peers[0].connection);
        EXPECT_EQ(row.publicPort, peers[0].topology.publicPort);
    }
}

}  // namespace
