#include "tarn/client/impl/service/portmap/UpnpClient.h"

#include <cctype>
#include <sstream>
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
MapAttempt addMapping(const MapTarget& target, PortMapping mapping) {
    const std::string external = std::to_string(mapping.externalPort);
    const std::string internal = std::to_string(target.internalPort);
    const std::string lease = std::to_string(target.lease.count());
    const std::string client = target.local.to_string();
    const int added = UPNP_AddPortMapping(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external.c_str(),
                                          internal.c_str(), client.c_str(), kDescription, "UDP", nullptr,
                                          lease.c_str());
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
                                                      external.c_str(), "UDP", nullptr, intClient, intPort, desc,
                                                      enabled, granted);
    const long seconds = read == UPNPCOMMAND_SUCCESS ? std::atol(granted) : target.lease.count();
    if (seconds <= 0) {
        UPNP_DeletePortMapping(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external.c_str(), "UDP",
                               nullptr);
        attempt.outcome = MapAttempt::Outcome::PERMANENT_ONLY;
        return attempt;
    }
    mapping.lease = std::chrono::seconds(seconds);
    mapping.grantedAt = target.clock->now();
    attempt.outcome = MapAttempt::Outcome::GRANTED;
    attempt.mapping = mapping;
    return attempt;
}

}  // namespace

MapAttempt UpnpClient::map(const MapTarget& target, const std::atomic<bool>* granted,
                           Clock::TimePoint deadline, std::atomic<bool>* heard) {
    MapperSocket socket(target.local, target.gateway, kSsdpPort);
    if (!socket.isOpen()) {
        return denied(socket.error());
    }
    const std::vector<std::uint8_t> search(kSearch, kSearch + std::char_traits<char>::length(kSearch));
    std::optional<std::string> location;
    MapperSocket::Wait wait = MapperSocket::Wait::TIMEOUT;
    while (!location && target.clock->now() < deadline) {
        // The multicast search first: a send reports (and clears) a refusal the unicast one got.
        // Never from loopback: a multicast search there would reach every program of the host.
        if (!target.local.is_loopback()) {
            socket.sendMulticast(search, boost::asio::ip::make_address_v4(kSsdpGroup), kSsdpPort);
        }
        socket.send(search);
        const auto until = std::min(deadline, target.clock->now() + util::Intervals::kMapperResend);
        std::vector<std::uint8_t> bytes;
        while (!location &&
               (wait = socket.receive(bytes, *target.clock, until)) == MapperSocket::Wait::DATAGRAM) {
            location = locationOf(std::string(bytes.begin(), bytes.end()));
        }
        if (wait == MapperSocket::Wait::REFUSED || wait == MapperSocket::Wait::FAILED) {
            break;
        }
    }
    if (!location) {
        MapAttempt attempt;
        attempt.outcome = wait == MapperSocket::Wait::REFUSED ? MapAttempt::Outcome::REFUSED
                                                              : MapAttempt::Outcome::SILENT;
        return attempt;
    }
    if (heard != nullptr) {
        *heard = true;
    }
    Device device;
    char lanAddress[64] = {0};
    if (UPNP_GetIGDFromUrl(location->c_str(), &device.urls, &device.data, lanAddress, sizeof(lanAddress)) != 1 ||
        device.urls.controlURL == nullptr) {
        return denied("no Internet Gateway Device at " + *location);
    }
    PortMapping mapping;
    mapping.protocol = MappingProtocol::UPNP;
    mapping.controlUrl = device.urls.controlURL;
    mapping.serviceType = device.data.first.servicetype;
    mapping.internalPort = target.internalPort;
    mapping.externalPort = target.internalPort;
    char external[40] = {0};
    if (UPNP_GetExternalIPAddress(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external) ==
        UPNPCOMMAND_SUCCESS) {
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address_v4(external, error);
        if (!error) {
            mapping.externalAddress = address;
        }
    }
    if (granted != nullptr && granted->load()) {
        return denied("another protocol mapped first");
    }
    return addMapping(target, mapping);
}

MapAttempt UpnpClient::renew(const MapTarget& target, const PortMapping& mapping) {
    return addMapping(target, mapping);
}

bool UpnpClient::remove(const PortMapping& mapping) {
    const std::string external = std::to_string(mapping.externalPort);
    return UPNP_DeletePortMapping(mapping.controlUrl.c_str(), mapping.serviceType.c_str(), external.c_str(), "UDP",
                                  nullptr) == UPNPCOMMAND_SUCCESS;
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
