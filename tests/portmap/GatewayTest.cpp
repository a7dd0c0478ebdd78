#include "tarn/client/impl/service/portmap/Gateway.h"

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::portmap::Gateway;

// Addresses in the table's little-endian hex, as an x86 kernel prints them.
const char* const kTable =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"   // default via 192.168.1.1
    "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"   // 192.168.1.0/24 on link
    "eth1\t0000000A\t0100000A\t0003\t0\t0\t50\t000000FF\t0\t0\t0\n"    // 10/8 via 10.0.0.1
    "eth2\t0000000A\t0200000A\t0003\t0\t0\t10\t000000FF\t0\t0\t0\n"    // 10/8 via 10.0.0.2, lower metric
    "eth3\t00000BAC\t010010AC\t0002\t0\t0\t0\t0000FFFF\t0\t0\t0\n";    // 172.11/16 down

TEST(Gateway, TheMostSpecificRouteDecides) {
    const struct {
        const char* destination;
        const char* gateway;  // nullptr: none
    } rows[] = {
        {"198.51.100.7", "192.168.1.1"},  // default route
        {"192.168.1.50", nullptr},        // directly connected
        {"10.9.8.7", "10.0.0.2"},         // same prefix: the lower metric
        {"172.11.0.9", "192.168.1.1"},    // the route that is down does not count
        {"127.0.0.1", nullptr},           // loopback never has one
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.destination);
        const auto gateway = Gateway::fromRouteTable(kTable, boost::asio::ip::make_address_v4(row.destination));
        ASSERT_EQ(row.gateway != nullptr, gateway.has_value());
        if (row.gateway) {
            EXPECT_EQ(row.gateway, gateway->to_string());
        }
    }
    EXPECT_FALSE(Gateway::fromRouteTable("", boost::asio::ip::make_address_v4("198.51.100.7")));
    EXPECT_FALSE(Gateway::fromRouteTable("header\ngarbage line\n", boost::asio::ip::make_address_v4("1.2.3.4")));
}

}  // namespace
