#include "tarn/server/AllowList.h"

#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "tarn/server/SharedStore.h"

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

TEST(AllowList, AnEndpointIsWrittenToTheStoreAtMostOncePerQuarterWindowAndAgainAfterAReconnect) {
    // Window 600 s: a quarter is 150 s. The store's connection is epoch 2 unless a row says other.
    const Clock::time_point t0 = Clock::now();
    const struct {
        const char* what;
        bool isNew;
        Clock::duration sinceWrite;
        std::uint64_t writtenEpoch;
        std::uint64_t storeEpoch;
        bool due;
    } rows[] = {
        {"a new entry", true, seconds(0), 0, 2, true},
        {"just written", false, seconds(0), 2, 2, false},
        {"just under a quarter", false, seconds(150) - milliseconds(1), 2, 2, false},
        {"a quarter", false, seconds(150), 2, 2, true},
        {"a whole window", false, seconds(600), 2, 2, true},
        {"written before the store reconnected", false, seconds(1), 1, 2, true},
        {"written before the store was first reached", false, seconds(1), 0, 1, true},
    };
    for (const auto& row : rows) {
        const AllowList::StoreWrite last{t0, row.writtenEpoch};
        EXPECT_EQ(
            AllowList::storeWriteDue(last, row.isNew, t0 + row.sinceWrite, seconds(600), row.storeEpoch),
            row.due)
            << row.what;
    }
    // remember() applies it and counts a due write as done, until the store's queue drops it.
    AllowList list(1024, seconds(600));
    const Endpoint player = endpoint("198.51.100.7", 40000);
    const struct {
        Clock::duration at;
        std::uint64_t epoch;
        bool droppedBefore;
        bool due;
    } steps[] = {{seconds(0), 1, false, true},   {seconds(100), 1, false, false},
                 {seconds(151), 1, false, true}, {seconds(152), 1, false, false},
                 {seconds(153), 2, false, true}, {seconds(154), 2, false, false},
                 {seconds(155), 2, true, true},  {seconds(156), 2, false, false}};
    for (const auto& step : steps) {
        if (step.droppedBefore) {
            list.forgetStoreWrite(AllowList::keyOf(player));
        }
        EXPECT_EQ(list.remember(player, t0 + step.at, step.epoch), step.due)
            << std::chrono::duration_cast<seconds>(step.at).count() << " s";
    }
}

TEST(AllowList, KeysAndEndpointsConvertBothWays) {
    for (const auto& original :
         {endpoint("0.0.0.1", 0), endpoint("198.51.100.7", 40000), endpoint("255.255.255.255", 65535)}) {
        EXPECT_EQ(AllowList::endpointOf(AllowList::keyOf(original)), original);
    }
    EXPECT_EQ(SharedStore::keyText(AllowList::keyOf(endpoint("198.51.100.7", 40000))),
              "tarn:allow:198.51.100.7:40000");
}

}  // namespace
}  // namespace server
}  // namespace tarn
