#include "tarn/client/impl/service/portmap/UpnpClient.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <cctype>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include "tarn/client/impl/service/portmap/MapperSocket.h"
#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::portmap {

namespace {

const std::uint16_t kSsdpPort = 1900;
const char* const kSsdpGroup = "239.255.255.250";
const char* const kSearch =
    "M-SEARCH * HTTP/1.1\r\n"
    "HOST: 239.255.255.250:1900\r\n"
    "MAN: \"ssdp:discover\"\r\n"
    "MX: 1\r\n"
    "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
    "\r\n";
// The UPnP error of a router that grants only leases without end.
const int kOnlyPermanentLeases = 725;
const char* const kDescription = "tarn";

// The device's URLs, freed however the call ends.
struct Device {
    Device() = default;
    ~Device() { FreeUPNPUrls(&urls); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    UPNPUrls urls{};
    IGDdatas data{};
};

MapAttempt denied(const std::string& detail) {
    MapAttempt attempt;
    attempt.outcome = MapAttempt::Outcome::DENIED;
    attempt.detail = detail;
    return attempt;
}

// Adds the mapping and reads back the lease the device granted: one without end is deleted again.
// Runs on an abandonable thread: it reads no clock (the caller stamps the grant).
MapAttempt addMapping(const MapTarget& target, PortMapping mapping) {
    const std::string external = std::to_string(mapping.externalPort);
    const std::string internal = std::to_string(target.internalPort);
    const std::string lease = std::to_string(target.lease.count());
    const std::string client = target.local.to_string();
    const int added =
        UPNP_AddPortMapping(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external.c_str(),
                            internal.c_str(), client.c_str(), kDescription, "UDP", nullptr, lease.c_str());
    MapAttempt attempt;
    if (added == kOnlyPermanentLeases) {
        attempt.outcome = MapAttempt::Outcome::PERMANENT_ONLY;
        return attempt;
    }
    if (added != UPNPCOMMAND_SUCCESS) {
        return denied("AddPortMapping failed with " + std::to_string(added));
    }
    char intClient[40] = {0}, intPort[6] = {0}, desc[80] = {0}, enabled[4] = {0}, granted[16] = {0};
    const int read = UPNP_GetSpecificPortMappingEntry(mapping.controlUrl.c_str(), mapping.serviceType.c_str(),
                                                      external.c_str(), "UDP", nullptr, intClient, intPort,
                                                      desc, enabled, granted);
    const long seconds = read == UPNPCOMMAND_SUCCESS ? std::atol(granted) : target.lease.count();
    if (seconds <= 0) {
        UPNP_DeletePortMapping(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external.c_str(),
                               "UDP", nullptr);
        attempt.outcome = MapAttempt::Outcome::PERMANENT_ONLY;
        return attempt;
    }
    mapping.lease = std::chrono::seconds(seconds);
    attempt.outcome = MapAttempt::Outcome::GRANTED;
    attempt.mapping = mapping;
    return attempt;
}

bool deleteMapping(const PortMapping& mapping) {
    const std::string external = std::to_string(mapping.externalPort);
    return UPNP_DeletePortMapping(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external.c_str(),
                                  "UDP", nullptr) == UPNPCOMMAND_SUCCESS;
}

// What one abandonable call shares with its thread; whichever of the two ends last frees it.
template <typename Result>
struct CallState {
    std::mutex mutex;  // guards result and abandoned
    std::condition_variable_any finished;
    std::optional<Result> result;
    bool abandoned = false;
};

// Runs work on a thread of its own and waits for its result until deadline, or until cancel is
// set. A call still running then is abandoned: its thread runs on until libminiupnpc's own socket
// time-outs end it, and hands a late result to lateResult (when set) instead. Empty when abandoned
// or when no thread could be started.
template <typename Result>
std::optional<Result> boundedCall(util::Clock& clock, util::Clock::TimePoint deadline,
                                  const std::atomic<bool>* cancel, std::function<Result()> work,
                                  std::function<void(const Result&)> lateResult = nullptr) {
    auto state = std::make_shared<CallState<Result>>();
    try {
        std::thread([state, work = std::move(work), lateResult = std::move(lateResult)] {
            Result result = work();
            std::unique_lock<std::mutex> lock(state->mutex);
            if (state->abandoned) {
                lock.unlock();
                if (lateResult) {
                    lateResult(result);
                }
                return;
            }
            state->result = std::move(result);
            state->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    const auto ready = [&state] { return state->result.has_value(); };
    // The cancel flag has no wake-up of its own here: it is looked at every kCancelStep.
    while (!ready() && clock.now() < deadline && (cancel == nullptr || !cancel->load())) {
        clock.waitUntil(state->finished, lock, std::min(deadline, clock.now() + MapperSocket::kCancelStep),
                        ready);
    }
    if (!ready()) {
        state->abandoned = true;
        return std::nullopt;
    }
    return std::move(state->result);
}

// The netmask of the interface that holds local; a host mask when none does.
UpnpClient::Address netmaskOf(const UpnpClient::Address& local) {
    UpnpClient::Address mask(0xFFFFFFFFu);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return mask;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
            entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (ntohl(address->sin_addr.s_addr) == local.to_uint()) {
            mask = UpnpClient::Address(
                ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr));
            break;
        }
    }
    ::freeifaddrs(list);
    return mask;
}

// The device's control service and external address, read from its description.
struct DeviceInfo {
    PortMapping mapping;
    std::string failure;
};

DeviceInfo describeDevice(const std::string& location, std::uint16_t internalPort) {
    DeviceInfo info;
    Device device;
    char lanAddress[64] = {0};
    if (UPNP_GetIGDFromUrl(location.c_str(), &device.urls, &device.data, lanAddress, sizeof(lanAddress)) !=
            1 ||
        device.urls.controlURL == nullptr) {
        info.failure = "no Internet Gateway Device at " + location;
        return info;
    }
    PortMapping& mapping = info.mapping;
    mapping.protocol = MappingProtocol::UPNP;
    mapping.controlUrl = device.urls.controlURL;
    mapping.serviceType = device.data.first.servicetype;
    mapping.internalPort = internalPort;
    mapping.externalPort = internalPort;
    char external[40] = {0};
    if (UPNP_GetExternalIPAddress(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external) ==
        UPNPCOMMAND_SUCCESS) {
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address_v4(external, error);
        if (!error) {
            mapping.externalAddress = address;
        }
    }
    return info;
}

// AddPortMapping bounded by kCallBound (and cancel); a grant that comes after is deleted again.
MapAttempt boundedAdd(const MapTarget& target, const PortMapping& mapping, const std::atomic<bool>* cancel,
                      bool deleteLateGrant) {
    auto attempt = boundedCall<MapAttempt>(
        *target.clock, target.clock->now() + UpnpClient::kCallBound, cancel,
        [target, mapping] { return addMapping(target, mapping); },
        [deleteLateGrant](const MapAttempt& late) {
            if (deleteLateGrant && late.outcome == MapAttempt::Outcome::GRANTED) {
                deleteMapping(late.mapping);
            }
        });
    if (!attempt) {
        return denied("AddPortMapping abandoned: no answer within " +
                      std::to_string(UpnpClient::kCallBound.count()) + " ms");
    }
    attempt->mapping.grantedAt = target.clock->now();
    return *attempt;
}

}  // namespace

MapAttempt UpnpClient::map(const MapTarget& target, const std::atomic<bool>* granted,
                           Clock::TimePoint deadline, std::atomic<bool>* heard,
                           const std::atomic<bool>* cancel) {
    // Not connected: a router may answer from a fresh socket of its own, on another port.
    MapperSocket socket(target.local, target.gateway, kSsdpPort, MapperSocket::Source::ANY_PORT);
    if (!socket.isOpen()) {
        return denied(socket.error());
    }
    const Address netmask = netmaskOf(target.local);
    const std::vector<std::uint8_t> search(kSearch, kSearch + std::char_traits<char>::length(kSearch));
    std::optional<std::string> location;
    std::string refusedLocation;
    MapperSocket::Wait wait = MapperSocket::Wait::TIMEOUT;
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    while (!location && target.clock->now() < deadline && !cancelled()) {
        // The multicast search first: a send reports (and clears) a refusal the unicast one got.
        // Never from loopback: a multicast search there would reach every program of the host.
        if (!target.local.is_loopback()) {
            socket.sendMulticast(search, boost::asio::ip::make_address_v4(kSsdpGroup), kSsdpPort);
        }
        socket.send(search);
        const auto until = std::min(deadline, target.clock->now() + util::Intervals::kMapperResend);
        std::vector<std::uint8_t> bytes;
        while (!location &&
               (wait = socket.receive(bytes, *target.clock, until, cancel)) == MapperSocket::Wait::DATAGRAM) {
            const auto found = locationOf(std::string(bytes.begin(), bytes.end()));
            if (found && !locationAllowed(*found, target.gateway, target.local, netmask)) {
                refusedLocation = *found;
                continue;
            }
            location = found;
        }
        if (wait == MapperSocket::Wait::REFUSED || wait == MapperSocket::Wait::FAILED) {
            break;
        }
    }
    if (!location) {
        if (!refusedLocation.empty()) {
            return denied("the gateway's answer names a device elsewhere: " + refusedLocation);
        }
        MapAttempt attempt;
        attempt.outcome =
            wait == MapperSocket::Wait::REFUSED ? MapAttempt::Outcome::REFUSED : MapAttempt::Outcome::SILENT;
        return attempt;
    }
    if (heard != nullptr) {
        *heard = true;
    }
    const std::uint16_t internalPort = target.internalPort;
    const auto device = boundedCall<DeviceInfo>(
        *target.clock, target.clock->now() + kCallBound, cancel,
        [url = *location, internalPort] { return describeDevice(url, internalPort); });
    if (!device) {
        return denied("the device at " + *location + " did not describe itself within " +
                      std::to_string(kCallBound.count()) + " ms");
    }
    if (!device->failure.empty()) {
        return denied(device->failure);
    }
    if ((granted != nullptr && granted->load()) || cancelled()) {
        return denied("another protocol mapped first");
    }
    return boundedAdd(target, device->mapping, cancel, true);
}

MapAttempt UpnpClient::renew(const MapTarget& target, const PortMapping& mapping,
                             const std::atomic<bool>* cancel) {
    // A late renewal only refreshes the rule the caller then deletes or holds again: not deleted.
    return boundedAdd(target, mapping, cancel, false);
}

bool UpnpClient::remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline) {
    return boundedCall<bool>(*target.clock, deadline, nullptr, [mapping] { return deleteMapping(mapping); })
        .value_or(false);
}

std::optional<std::string> UpnpClient::locationOf(const std::string& answer) {
    std::istringstream lines(answer);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string field = line.substr(0, colon);
        for (char& c : field) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (field != "LOCATION") {
            continue;
        }
        std::string value = line.substr(colon + 1);
        // The line keeps its carriage return: an empty value is blank up to it.
        const auto first = value.find_first_not_of(" \t\r");
        const auto last = value.find_last_not_of(" \t\r");
        if (first == std::string::npos) {
            return std::nullopt;
        }
        return value.substr(first, last - first + 1);
    }
    return std::nullopt;
}

}  // namespace tarn::client::impl::service::portmap

namespace tarn::client::impl::service::portmap {

bool UpnpClient::locationAllowed(const std::string& location, const Address& gateway, const Address& local,
                                 const Address& netmask) {
    const std::string scheme = "http://";
    if (location.size() <= scheme.size()) {
        return false;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(location[i])) != scheme[i]) {
            return false;
        }
    }
    const std::size_t end = location.find_first_of(":/?#", scheme.size());
    const std::string host =
        location.substr(scheme.size(), end == std::string::npos ? end : end - scheme.size());
    boost::system::error_code error;
    const Address address = boost::asio::ip::make_address_v4(host, error);
    if (error) {
        return false;
    }
    const std::uint32_t mask = netmask.to_uint();
    return address == gateway || ((address.to_uint() & mask) == (local.to_uint() & mask));
}

}  // namespace tarn::client::impl::service::portmap
