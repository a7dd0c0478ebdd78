#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/server/FleetSeal.h"

struct redisReply;

namespace tarn {
namespace server {

class StoreConnection;

// The fleet as the shared store knows it: a sorted set of every server's addresses, each entry
// sealed with the fleet's secret and scored with the time (ms) its server last renewed it. The
// store's thread renews this server's entries and reads the set at each check; workers ask it
// whether an address is a server's from any thread.
class FleetMembers {
public:
    // A server that has not renewed its place for this long is no longer taken for one.
    static constexpr std::chrono::milliseconds kFleetTimeout{10000};

    // ownAddresses are this server's, announced with seal.
    FleetMembers(std::vector<boost::asio::ip::address_v4> ownAddresses, const FleetSeal& seal);

    // Appends the check's commands to the connection: renew this server's entries, drop stale
    // ones, read the set. Returns how many replies they get; the last one goes to read().
    std::size_t appendCheck(StoreConnection& connection, std::int64_t nowMs) const;
    // Takes the fleet's addresses from the check's last reply; entries without a valid seal are
    // counted and left out.
    void read(const redisReply& members, std::int64_t nowMs);
    // Forgets the fleet: it is learnt anew from the store when it is back, so that a store that
    // lost its data knows each server again within a check.
    void forget();
    // Whether address belongs to a server of the fleet (this one included), as of the last check.
    bool contains(const boost::asio::ip::address_v4& address) const;
    // Entries without a valid seal at the last check.
    std::uint64_t forged() const { return forgedCount.load(std::memory_order_relaxed); }

private:
    std::vector<boost::asio::ip::address_v4> ownAddresses;
    const FleetSeal& seal;
    mutable std::mutex mutex;  // guards servers
    std::vector<std::uint32_t> servers;
    std::atomic<std::uint64_t> forgedCount{0};
};

}  // namespace server
}  // namespace tarn
