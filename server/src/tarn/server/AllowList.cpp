#include "tarn/server/AllowList.h"

#include <cstdint>

namespace tarn {
namespace server {

namespace {

std::uint64_t keyOf(const boost::asio::ip::udp::endpoint& endpoint) {
    return (static_cast<std::uint64_t>(endpoint.address().to_v4().to_uint()) << 16) | endpoint.port();
}

}  // namespace

AllowList::AllowList(std::size_t capacity, std::chrono::seconds window) : window_(window), table_(capacity) {}

void AllowList::remember(const Endpoint& endpoint, Clock::time_point now) {
    table_.update(keyOf(endpoint), now, [](Empty&, bool) {});
}

bool AllowList::contains(const Endpoint& endpoint, Clock::time_point now) {
    bool recent = false;
    table_.find(keyOf(endpoint),
                [&](const Empty&, Clock::time_point touched) { recent = now - touched <= window_; });
    return recent;
}

}  // namespace server
}  // namespace tarn
