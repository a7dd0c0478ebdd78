#include "tarn/server/AllowList.h"

#include <chrono>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using Clock = AllowList::Clock;
using Endpoint = AllowList::Endpoint;
using boost::asio::ip::make_address_v4;
using std::chrono::milliseconds;
using std::chrono::seconds;

Endpoint endpoint(const char* address, unsigned short port) {
    return Endpoint(make_address_v4(address), port);
}

TEST(AllowList, AnEndpointIsKnownForTheWindowAfterItsLastBindingRequest) {
    AllowList list(1024, seconds(600));
    const Clock::time_point t0 = Clock::now();
    list.remember(endpoint("198.51.100.7", 40000), t0);
    const struct {
        Clock::duration after;
        bool known;
    } rows[] = {
        {seconds(0), true},     {seconds(599), true},
        {seconds(600), true},   {seconds(600) + milliseconds(1), false},
        {seconds(3600), false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(list.contains(endpoint("198.51.100.7", 40000), t0 + row.after), row.known)
            << std::chrono::duration_cast<milliseconds>(row.after).count() << " ms";
    }
    // A new binding request restarts the window.
    list.remember(endpoint("198.51.100.7", 40000), t0 + seconds(500));
    EXPECT_TRUE(list.contains(endpoint("198.51.100.7", 40000), t0 + seconds(1000)));
}

TEST(AllowList, OnlyTheExactAddressAndPortAreKnown) {
    AllowList list(1024, seconds(600));
    const Clock::time_point t0 = Clock::now();
    list.remember(endpoint("198.51.100.7", 40000), t0);
    const struct {
        const char* address;
        unsigned short port;
        bool known;
    } rows[] = {
        {"198.51.100.7", 40000, true},
        {"198.51.100.7", 40001, false},
        {"198.51.100.8", 40000, false},
        {"7.100.51.198", 40000, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(list.contains(endpoint(row.address, row.port), t0), row.known)
            << row.address << ":" << row.port;
    }
}

TEST(AllowList, AFloodOfNewSourcesEvictsOldOnesInsteadOfGrowing) {
    AllowList list(8, seconds(600));
    const Clock::time_point t0 = Clock::now();
    list.remember(endpoint("198.51.100.7", 40000), t0);
    for (unsigned short port = 1; port <= 2000; ++port) {
        list.remember(endpoint("203.0.113.9", port), t0 + milliseconds(port));
    }
    EXPECT_FALSE(list.contains(endpoint("198.51.100.7", 40000), t0 + seconds(3)));
    EXPECT_TRUE(list.contains(endpoint("203.0.113.9", 2000), t0 + seconds(3)));
}

}  // namespace
}  // namespace server
}  // namespace tarn
