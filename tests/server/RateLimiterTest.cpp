#include "tarn/server/RateLimiter.h"

#include <chrono>

#include <gtest/gtest.h>

namespace tarn {
namespace server {
namespace {

using Clock = RateLimiter::Clock;
using boost::asio::ip::make_address_v4;
using std::chrono::milliseconds;

int allowedOf(RateLimiter& limiter, const char* address, int requests, Clock::time_point at) {
    int allowed = 0;
    for (int i = 0; i < requests; ++i) {
        allowed += limiter.allow(make_address_v4(address), at);
    }
    return allowed;
}

TEST(RateLimiter, ABurstThenTheRate) {
    // 4 per second with a burst of 5: a token every 250 ms (times exact in binary fractions).
    RateLimiter limiter(4, 5, 1024);
    const Clock::time_point t0 = Clock::now();
    const struct {
        Clock::duration at;
        int requests;
        int allowed;
    } rows[] = {
        {milliseconds(0), 8, 5},      // the whole burst, then empty
        {milliseconds(125), 1, 0},    // half a token is not enough
        {milliseconds(250), 3, 1},    // one token came back
        {milliseconds(875), 3, 2},    // two and a half more
        {milliseconds(10000), 9, 5},  // a long pause refills only up to the burst
    };
    for (const auto& row : rows) {
        EXPECT_EQ(allowedOf(limiter, "198.51.100.7", row.requests, t0 + row.at), row.allowed)
            << std::chrono::duration_cast<milliseconds>(row.at).count() << " ms";
    }
}

TEST(RateLimiter, AddressesHaveBucketsOfTheirOwn) {
    RateLimiter limiter(1, 3, 1024);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(allowedOf(limiter, "198.51.100.7", 10, t0), 3);
    EXPECT_EQ(allowedOf(limiter, "198.51.100.8", 10, t0), 3);
    EXPECT_EQ(allowedOf(limiter, "198.51.100.7", 10, t0), 0);
}

TEST(RateLimiter, RateZeroLetsEverythingThrough) {
    RateLimiter limiter(0, 1, 1);
    EXPECT_EQ(allowedOf(limiter, "198.51.100.7", 100000, Clock::now()), 100000);
}

TEST(RateLimiter, AClockThatSeemsToGoBackAddsNoTokens) {
    // Workers read the clock once per batch, so one may pass an instant older than another's.
    RateLimiter limiter(10, 2, 1024);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(allowedOf(limiter, "198.51.100.7", 2, t0 + milliseconds(500)), 2);
    EXPECT_EQ(allowedOf(limiter, "198.51.100.7", 1, t0), 0);
}

}  // namespace
}  // namespace server
}  // namespace tarn
