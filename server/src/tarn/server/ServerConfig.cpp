#include "tarn/server/ServerConfig.h"

#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/error_code.hpp>

#include "tarn/server/FleetSeal.h"

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
    if (fleetRate < 0 || fleetBurst < 1 || storeWriteRate < 0 || storeWriteBurst < 1) {
        return "--fleet-rate and --store-write-rate must not be negative, their bursts at least 1";
    }
    if (!sharedStore.empty() && fleetSecret.size() < FleetSeal::kMinSecret) {
        return "--shared-store needs --fleet-secret-file: a file of at least " +
               std::to_string(FleetSeal::kMinSecret) + " bytes, the same on every server of the fleet";
    }
    if (storeWaitMs < 1 || storeWaitMs > kStoreWaitMaxMs) {
        return "--store-wait must lie between 1 and " + std::to_string(kStoreWaitMaxMs) + " ms";
    }
    if (metrics) {
        boost::system::error_code error;
        boost::asio::ip::make_address(metricsAddress, error);
        if (error) {
            return "--metrics address '" + metricsAddress + "' is not an IP address";
        }
    }
    return {};
}

std::string ServerConfig::setMetrics(const std::string& text) {
    const std::string usage = "--metrics takes ADDR:PORT (e.g. 127.0.0.1:9464), not '" + text + "'";
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon + 6 < text.size()) {
        return usage;
    }
    std::string address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    unsigned long port = 0;
    for (const char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') {
            return usage;
        }
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port > 65535) {
        return "--metrics port must lie between 0 and 65535, not " + std::to_string(port);
    }
    boost::system::error_code error;
    boost::asio::ip::make_address(address, error);
    if (error) {
        return "--metrics address '" + address + "' is not an IP address";
    }
    metrics = true;
    metricsAddress = address;
    metricsPort = static_cast<std::uint16_t>(port);
    return {};
}

std::string ServerConfig::setSharedStore(const std::string& text) {
    const std::string plain = "redis://";
    const std::string followed = "redis+sentinel://";
    const bool withSentinels = text.compare(0, followed.size(), followed) == 0;
    const std::string scheme = withSentinels ? followed : plain;
    std::string rest = text.compare(0, scheme.size(), scheme) == 0 ? text.substr(scheme.size()) : text;
    // The password never appears in a message: it stands in the text as "***".
    std::string password;
    const auto at = rest.rfind('@');
    if (at != std::string::npos) {
        password = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    const std::string shown = at == std::string::npos ? text : scheme + ":***@" + rest;
    const std::string usage =
        "--shared-store takes redis://[:PASSWORD@]HOST:PORT[/DB] (e.g. "
        "redis://10.0.0.5:6379/0) or redis+sentinel://[:PASSWORD@]HOST:PORT[,HOST:PORT...]"
        "/MASTER[/DB] (e.g. redis+sentinel://10.0.0.5:26379,10.0.0.6:26379/tarn), not '" +
        shown + "'";
    if (text.compare(0, scheme.size(), scheme) != 0 ||
        (at != std::string::npos && (password.size() < 2 || password[0] != ':'))) {
        return usage;
    }
    password.erase(0, 1);
    // HOST:PORT[,HOST:PORT...], then the master's name with sentinels, then the database.
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const auto slash = rest.find('/', start);
        parts.push_back(rest.substr(start, slash - start));
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    const std::size_t named = withSentinels ? 1 : 0;
    if (parts.size() < 1 + named || parts.size() > 2 + named) {
        return usage;
    }
    unsigned long db = 0;
    if (parts.size() == 2 + named) {
        const std::string& digits = parts.back();
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return usage;
        }
        db = std::stoul(digits);
    }
    const std::string master = withSentinels ? parts[1] : "";
    if (withSentinels &&
        (master.empty() || master.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOP"
                                                    "QRSTUVWXYZ0123456789._-") != std::string::npos)) {
        return usage;
    }
    std::vector<std::pair<std::string, std::uint16_t>> hosts;
    for (std::size_t start = 0; start <= parts[0].size();) {
        const auto comma = std::min(parts[0].find(',', start), parts[0].size());
        const std::string hostPort = parts[0].substr(start, comma - start);
        start = comma + 1;
        const auto colon = hostPort.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size() ||
            colon + 6 < hostPort.size() ||
            hostPort.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
            return usage;
        }
        const unsigned long port = std::stoul(hostPort.substr(colon + 1));
        if (port == 0 || port > 65535) {
            return "--shared-store port must lie between 1 and 65535, not " + std::to_string(port);
        }
        std::string host = hostPort.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
        if (host.find_first_of("[]/@ ,") != std::string::npos) {
            return usage;
        }
        hosts.emplace_back(host, static_cast<std::uint16_t>(port));
    }
    if (!withSentinels && hosts.size() != 1) {
        return usage;
    }
    sharedStore = shown;
    if (at != std::string::npos) {
        storePassword = password;
    }
    storeHost = withSentinels ? "" : hosts.front().first;
    storePort = withSentinels ? storePort : hosts.front().second;
    storeSentinels = withSentinels ? hosts : decltype(hosts){};
    storeMaster = master;
    storeDb = static_cast<unsigned>(db);
    return {};
}

}  // namespace server
}  // namespace tarn
