#include "tarn/server/ServerConfig.h"

#include <string>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/error_code.hpp>

namespace tarn {
namespace server {

namespace {

std::string checkAddress(const char* option, const std::string& text) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text, error);
    if (error) {
        return std::string(option) + " '" + text + "' is not an IPv4 address";
    }
    // Answers must leave from a definite address, or clients could not tell the endpoints apart.
    if (address.is_unspecified() || address.is_multicast() ||
        address == boost::asio::ip::address_v4::broadcast()) {
        return std::string(option) + " '" + text + "' must be a unicast address of this host";
    }
    return {};
}

}  // namespace

std::string ServerConfig::validate() const {
    for (const auto& problem : {checkAddress("--addr1", addr1), checkAddress("--addr2", addr2)}) {
        if (!problem.empty()) {
            return problem;
        }
    }
    if (boost::asio::ip::make_address_v4(addr1) == boost::asio::ip::make_address_v4(addr2)) {
        return "--addr1 and --addr2 must differ: change requests need two addresses";
    }
    if (port1 != 0 && port1 == port2) {
        return "--port1 and --port2 must differ: change requests need two ports";
    }
    if (batch < kBatchMin || batch > kBatchMax) {
        return "--batch must lie between " + std::to_string(kBatchMin) + " and " + std::to_string(kBatchMax);
    }
    if (threads > kThreadsMax) {
        return "--threads must be at most " + std::to_string(kThreadsMax);
    }
    if (allowTableSize < kTableMin || rateTableSize < kTableMin) {
        return "--allow-table and --rate-table must hold at least one entry";
    }
    if (maxTargets < kTargetsMin || maxTargets > kTargetsMax || maxReflected > kReflectedMax) {
        return "--max-targets must lie between " + std::to_string(kTargetsMin) + " and " +
               std::to_string(kTargetsMax) + " and --max-reflected at most " + std::to_string(kReflectedMax);
    }
    if (bindRate < 0 || bindBurst < 1 || relayRate < 0 || relayBurst < 1) {
        return "rates must not be negative and bursts must be at least 1";
    }
    return {};
}

}  // namespace server
}  // namespace tarn
