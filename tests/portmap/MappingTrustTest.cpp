#include "tarn/client/impl/service/portmap/MappingTrust.h"

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::service::portmap::MappingTrust;
using Verdict = MappingTrust::Verdict;

TEST(MappingTrust, OnlyThePublicAddressSeenIsUsable) {
    const auto seen = boost::asio::ip::make_address_v4("203.0.113.5");
    const struct {
        const char* external;  // nullptr: the router reported none
        Verdict verdict;
    } rows[] = {
        {"203.0.113.5", Verdict::USABLE},
        {nullptr, Verdict::UNSPECIFIED},
        {"0.0.0.0", Verdict::UNSPECIFIED},
        {"10.1.2.3", Verdict::PRIVATE},
        {"172.16.0.1", Verdict::PRIVATE},
        {"172.31.255.254", Verdict::PRIVATE},
        {"192.168.0.1", Verdict::PRIVATE},
        {"169.254.1.1", Verdict::PRIVATE},
        {"100.64.0.1", Verdict::CARRIER_GRADE},
        {"100.127.255.254", Verdict::CARRIER_GRADE},
        {"100.128.0.1", Verdict::DIFFERENT},  // just past the carriers' range
        {"172.32.0.1", Verdict::DIFFERENT},   // just past 172.16/12
        {"203.0.113.6", Verdict::DIFFERENT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.external ? row.external : "none");
        std::optional<boost::asio::ip::address_v4> external;
        if (row.external) {
            external = boost::asio::ip::make_address_v4(row.external);
        }
        EXPECT_EQ(row.verdict, MappingTrust::judge(external, seen));
    }
}

}  // namespace
