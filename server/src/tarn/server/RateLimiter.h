#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/server/BoundedTable.h"

namespace tarn {
namespace server {

// A token bucket per source address: each request takes a token, tokens come back at a fixed rate
// up to the burst size. A source the table had to forget starts again with a full bucket.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    // A rate of 0 lets every request through and keeps no table.
    RateLimiter(double perSecond, double burst, std::size_t capacity);

    // Takes a token from the address's bucket; false when the bucket is empty.
    bool allow(const boost::asio::ip::address_v4& address, Clock::time_point now);
    // Source addresses tracked, and how many fit; both 0 without a limit.
    std::size_t size() const { return table ? table->size() : 0; }
    std::size_t capacity() const { return table ? table->capacity() : 0; }

private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point refilled{};
    };

    double perSecond;
    double burst;
    std::unique_ptr<BoundedTable<Bucket>> table;
};

}  // namespace server
}  // namespace tarn
