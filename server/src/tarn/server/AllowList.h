#pragma once

#include <chrono>
#include <cstddef>

#include <boost/asio/ip/udp.hpp>

#include "tarn/server/BoundedTable.h"

namespace tarn {
namespace server {

// The endpoints from which binding requests arrived recently: the only endpoints a relayed ping
// may be sent to, so that the relay cannot be aimed at hosts that never talked to this server.
class AllowList {
public:
    using Clock = std::chrono::steady_clock;
    using Endpoint = boost::asio::ip::udp::endpoint;

    AllowList(std::size_t capacity, std::chrono::seconds window);

    // Records a binding request from the endpoint at now.
    void remember(const Endpoint& endpoint, Clock::time_point now);
    // Whether a binding request came from exactly this address and port within the window before now.
    bool contains(const Endpoint& endpoint, Clock::time_point now);
    // Endpoints remembered (stale ones included until they are replaced), and how many fit.
    std::size_t size() const { return table_.size(); }
    std::size_t capacity() const { return table_.capacity(); }

private:
    struct Empty {};

    Clock::duration window_;
    BoundedTable<Empty> table_;
};

}  // namespace server
}  // namespace tarn
