#include "tarn/server/RateLimiter.h"

#include <algorithm>

namespace tarn {
namespace server {

RateLimiter::RateLimiter(double perSecond, double burst, std::size_t capacity)
    : perSecond(perSecond),
      burst(burst),
      table(perSecond > 0 ? std::make_unique<BoundedTable<Bucket>>(capacity) : nullptr) {}

bool RateLimiter::allow(const boost::asio::ip::address_v4& address, Clock::time_point now) {
    if (!table) {
        return true;
    }
    return table->update(address.to_uint(), now, [&](Bucket& bucket, bool isNew) {
        if (isNew) {
            bucket.tokens = burst;
        } else {
            const std::chrono::duration<double> elapsed = now - bucket.refilled;
            bucket.tokens = std::min(burst, bucket.tokens + std::max(0.0, elapsed.count()) * perSecond);
        }
        bucket.refilled = std::max(bucket.refilled, now);
        if (bucket.tokens < 1) {
            return false;
        }
        bucket.tokens -= 1;
        return true;
    });
}

}  // namespace server
}  // namespace tarn
