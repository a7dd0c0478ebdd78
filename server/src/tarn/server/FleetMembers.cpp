#include "tarn/server/FleetMembers.h"

#include <algorithm>
#include <string>
#include <utility>

#include <hiredis/hiredis.h>

#include "tarn/server/StoreConnection.h"

namespace tarn {
namespace server {

namespace {

// A sorted set: each server address scored with the time (ms) its server last renewed it.
const char* const kFleetKey = "tarn:servers";

}  // namespace

FleetMembers::FleetMembers(std::vector<boost::asio::ip::address_v4> ownAddresses, const FleetSeal& seal)
    : ownAddresses(std::move(ownAddresses)), seal(seal) {}

std::size_t FleetMembers::appendCheck(StoreConnection& connection, std::int64_t nowMs) const {
    for (const auto& own : ownAddresses) {
        connection.append("ZADD %s %lld %s", kFleetKey, static_cast<long long>(nowMs),
                          seal.memberEntry(own.to_string(), nowMs).c_str());
    }
    connection.append("ZREMRANGEBYSCORE %s -inf %lld", kFleetKey,
                      static_cast<long long>(nowMs - kFleetTimeout.count()));
    connection.append("ZRANGE %s 0 -1", kFleetKey);
    return ownAddresses.size() + 2;
}

void FleetMembers::read(const redisReply& members, std::int64_t nowMs) {
    std::vector<std::uint32_t> fleet;
    std::uint64_t forged = 0;
    for (std::size_t i = 0; i < members.elements; ++i) {
        const redisReply* member = members.element[i];
        boost::system::error_code error;
        const std::string address =
            member->type == REDIS_REPLY_STRING
                ? seal.openMember(std::string(member->str, member->len), nowMs, kFleetTimeout.count())
                : std::string();
        const auto parsed = boost::asio::ip::make_address_v4(address, error);
        if (address.empty() || error) {
            ++forged;
        } else {
            fleet.push_back(parsed.to_uint());
        }
    }
    std::sort(fleet.begin(), fleet.end());
    fleet.erase(std::unique(fleet.begin(), fleet.end()), fleet.end());
    forgedCount.store(forged, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex);
    servers.swap(fleet);
}

void FleetMembers::forget() {
    std::lock_guard<std::mutex> lock(mutex);
    servers.clear();
}

bool FleetMembers::contains(const boost::asio::ip::address_v4& address) const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::binary_search(servers.begin(), servers.end(), address.to_uint());
}

}  // namespace server
}  // namespace tarn
