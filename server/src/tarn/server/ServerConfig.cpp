#include "tarn/server/ServerConfig.h"

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
    if (batch < 1 || batch > 1024) {
        return "--batch must lie between 1 and 1024";
    }
    if (threads > 256) {
        return "--threads must be at most 256";
    }
    if (allowTableSize < 1 || rateTableSize < 1) {
        return "--allow-table and --rate-table must hold at least one entry";
    }
    if (maxTargets < 1 || maxTargets > 1024 || maxReflected > 1024) {
        return "--max-targets must lie between 1 and 1024 and --max-reflected at most 1024";
    }
    if (bindRate < 0 || bindBurst < 1 || relayRate < 0 || relayBurst < 1) {
        return "rates must not be negative and bursts must be at least 1";
    }
    return {};
}

}  // namespace server
}  // namespace tarn
