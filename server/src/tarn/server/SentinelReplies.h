#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct redisReply;

// What the sentinels and a followed store answer, read as plain values; the connections decide
// nothing themselves. Each reader returns the problem, or "" when the answer is the one hoped for.
namespace tarn::server::sentinel {

// The master a sentinel names.
struct MasterAddress {
    std::string host;
    std::uint16_t port = 0;
    // "" when host and port hold the master.
    std::string problem;
};

// The longest wait between two attempts to find the master while the store is away.
constexpr std::chrono::milliseconds kMaxRetryDelay{500};

// Reads the answer to SENTINEL get-master-addr-by-name: an array of the host and the port.
MasterAddress readMasterAddress(const redisReply& reply);
// Reads the answer to ROLE: "" for a master; a replica, a sentinel or an error is a problem.
std::string readRole(const redisReply& reply);
// Whether an error reply says that the instance no longer takes writes as a master (READONLY, a
// replica; LOADING, a replica loading the master's data; MASTERDOWN, a replica cut off from it):
// the master is to be found again.
bool meansMasterMoved(const redisReply& reply);
// How long to wait before the next attempt after `failures` failed ones in a row (a lost
// connection counts as one): after the first, at once (a failover may just have named a new
// master); then 100 ms, doubling up to kMaxRetryDelay, so that an instance that accepts
// connections and fails every command cannot make it a busy loop.
std::chrono::milliseconds retryDelay(unsigned failures);

}  // namespace tarn::server::sentinel
