#include "tarn/client/impl/service/connection/PeerTable.h"

#include <vector>

#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"

namespace {

using namespace tarn::test::connection;
using tarn::client::impl::service::connection::PeerTable;
using CT = ConnectionType;

// The private window of the overlapped pass. We are 10.1.0.10 behind 198.51.100.10 on a /24.
TEST(PeerTable, PrivateWindowLetsAPrivateAnswerWin) {
    struct Row {
        bool sameNat;  // the peer is 10.1.0.11 behind our NAT, else 10.2.0.10 behind 198.51.100.11
        // Answers before and after the window closes: a public port, or 0 for the peer's local endpoint.
        std::vector<int> before, after;
        CT whileOpen, atEnd;
        int publicPort;
    };
    const Row rows[] = {
        // A far peer's public answer decides at once.
        {false, {6000}, {}, CT::DIRECT_PUBLIC, CT::DIRECT_PUBLIC, 6000},
        // Hairpin: the public answer first, then the private one.
        {true, {7000, 0}, {}, CT::DIRECT_PRIVATE, CT::DIRECT_PRIVATE, 5000},
        // Only public answers: the first one counts when the window closes.
        {true, {7000, 7001}, {}, CT::NONE, CT::DIRECT_PUBLIC, 7000},
        // A private answer after the window changes nothing.
        {true, {7000}, {0}, CT::NONE, CT::DIRECT_PUBLIC, 7000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        const std::string local = row.sameNat ? "10.1.0.11" : "10.2.0.10";
        const std::string outside = row.sameNat ? "198.51.100.10" : "198.51.100.11";
        Topology own = topology(NatType::PORT_RESTRICTED_CONE, "10.1.0.10", 4000, "198.51.100.10", 4000);
        std::vector<Peer> peers = {
            peer(2, topology(NatType::PORT_RESTRICTED_CONE, local, 5000, outside, 5000))};
        PeerTable table(peers, own);
        const auto answer = [&](int port) {
            table.markConnected(port ? endpoint(outside, port) : endpoint(local, 5000), 0);
        };
        table.openPrivateWindow("255.255.255.0");
        for (const int port : row.before) {
            answer(port);
        }
        EXPECT_EQ(row.whileOpen, peers[0].connection);
        EXPECT_EQ(row.whileOpen == CT::NONE ? 1 : 0, table.countUnconnected());
        table.closePrivateWindow();
        for (const int port : row.after) {
            answer(port);
        }
        EXPECT_EQ(row.atEnd, peers[0].connection);
        EXPECT_EQ(row.publicPort, peers[0].topology.publicPort);
    }
}

}  // namespace
