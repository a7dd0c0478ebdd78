#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include <boost/asio/ip/udp.hpp>

#include "tarn/server/BoundedTable.h"

namespace tarn {
namespace server {

// The endpoints from which binding requests arrived recently: the only endpoints a relayed ping
// may be sent to, so that the relay cannot be aimed at hosts that never talked to this server.
// Each entry also remembers when it was last written to the shared store, if there is one.
class AllowList {
public:
    using Clock = std::chrono::steady_clock;
    using Endpoint = boost::asio::ip::udp::endpoint;
    // An endpoint as one number: the IPv4 address above the port.
    using Key = std::uint64_t;
    // An endpoint is written to the shared store at most once per this part of the window; the
    // store's record lives for a whole window, so it lapses at most this part before ours.
    static constexpr int kStoreWriteFraction = 4;

    // When an entry was last written to the shared store, and in which of the store's connections
    // (a new connection may have lost what an earlier one wrote).
    struct StoreWrite {
        Clock::time_point at{};
        std::uint64_t epoch = 0;
    };

    AllowList(std::size_t capacity, std::chrono::seconds window);

    // Records a binding request from the endpoint at now. Returns whether its record is due to be
    // written to the shared store, whose connection is storeEpoch, and if so counts it as written.
    bool remember(const Endpoint& endpoint, Clock::time_point now, std::uint64_t storeEpoch = 0);
    // Makes the endpoint's record due again: the store's queue dropped the write remember() asked for.
    void forgetStoreWrite(Key key);
    // Whether a binding request came from exactly this address and port within the window before now.
    bool contains(const Endpoint& endpoint, Clock::time_point now);
    // Endpoints remembered (stale ones included until they are replaced), and how many fit.
    std::size_t size() const { return table.size(); }
    std::size_t capacity() const { return table.capacity(); }
    Clock::duration window() const { return entryWindow; }

    static Key keyOf(const Endpoint& endpoint);
    static Endpoint endpointOf(Key key);
    // The rule for remember(): a new entry, one last written in another connection of the store,
    // or one last written a fraction of the window or longer before now is due.
    static bool storeWriteDue(const StoreWrite& last, bool isNew, Clock::time_point now,
                              Clock::duration window, std::uint64_t storeEpoch);

private:
    Clock::duration entryWindow;
    BoundedTable<StoreWrite> table;
};

}  // namespace server
}  // namespace tarn
