// The five NAT tests of a full discovery, sent from the alternative socket (alt) and the primary
// one (pri) to the rendezvous servers S1 (address 1, port 1) and S4 (address 2, port 2):
//
//   test 1  alt -> S1  mapped M1 ---- M1 is alt's own endpoint ---------------> NONE
//   test 2  alt -> S4  mapped M2;  mappingChanges = (M1 != M2)
//   test 3  pri -> S1  mapped M3 = the public endpoint
//   test 4  pri -> S1, answer from the other address and port?
//             answered ---------------------> mappingChanges ? SYMMETRIC : FULL_CONE
//             silent and mappingChanges ----> SYMMETRIC
//   test 5  pri -> S1, answer from the other port?
//             answered ---------------------> RESTRICTED_CONE
//             silent -----------------------> PORT_RESTRICTED_CONE
//
// Behind a symmetric NAT, pri then asks S1..S4 once more and PortPlan turns the four mapped
// ports into the port step.

#include "tarn/client/impl/service/connection/Discoveror.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/host_name.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "tarn/client/ConnectionException.h"
#include "tarn/client/NoUDPConnectionException.h"
#include "tarn/client/NotLocallyBoundException.h"
#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/connection/DiscoverorData.h"
#include "tarn/client/impl/service/connection/PortPlan.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::time_duration;
using generated::Attribute;
using generated::Content;
using util::Messenger;
using util::ReceivedMessage;
using Endpoint = boost::asio::ip::udp::endpoint;
using EndpointList = std::vector<Endpoint>;

namespace {

const char* const DEBUG_KEY = "tarn.debug";
const int DEBUG_PORT_BASE = 17770;
const int DEBUG_PORT_COUNT = 20;
// Process-wide, so that successive debug-mode sockets get successive fixed ports.
int debugPortCounter = 0;

// 0 (any free port), or in debug mode the next of twenty fixed ports, so that a packet capture
// can tell the sockets apart.
int findBindingPort(const std::string& name) {
    if (!ServiceRegistry::instance().getConfigurator().hasValue(DEBUG_KEY)) {
        return 0;
    }
    const int port = DEBUG_PORT_BASE + debugPortCounter;
    debugPortCounter = (debugPortCounter + 1) % DEBUG_PORT_COUNT;
    Log::warn(name, "findBindingPort", "DEBUG MODE ON; using port %1%", port);
    return port;
}

using Clock = std::chrono::steady_clock;

// The time left until `until`, in whole milliseconds the receive's steps add up to exactly: a
// receive waits in steps of a fifth of its timeout until they reach it, so a timeout that is no
// multiple of five would end past `until`.
int waitLeftMs(Clock::time_point until) {
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(left - left % util::Intervals::kReceiveWaitParts);
}

// Counts the answers of one attempt: each destination still silent may answer once, and each
// answer gets a full timeout to arrive. Within it the request goes again to the silent ones at
// even intervals, so that one lost request or answer costs no attempt. Datagrams from endpoints
// that were never asked go to elsewhere (up to one per destination); other datagrams are no
// answers.
void collectAnswers(Messenger& messenger, const std::string& name, long timeoutMs, const Content& request,
                    const EndpointList& destinations, EndpointList& silent,
                    std::vector<ReceivedMessage>& replies, std::vector<ReceivedMessage>& elsewhere) {
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    constexpr int kSends = util::Intervals::kChangeTestSends;
    // The wait restarts with every answer; sends counts those since, the one before it included.
    auto waitStart = Clock::now();
    int sends = 1;
    while (!silent.empty()) {
        const bool resendDue = sends < kSends;
        const int left = waitLeftMs(waitStart + (resendDue ? timeout * sends / kSends : timeout));
        ReceivedMessage reply;
        if (left <= 0 || !messenger.receive(reply, left)) {
            if (!resendDue) {
                return;
            }
            messenger.send(request, silent);
            ++sends;
            continue;
        }
        const auto from = std::find(silent.begin(), silent.end(), reply.remoteEndpoint);
        if (from == silent.end()) {
            const bool asked = std::find(destinations.begin(), destinations.end(), reply.remoteEndpoint) !=
                               destinations.end();
            Log::trace(name, "collectAnswers", "Ignoring %1% from %2%: not awaited",
                       generated::typeName(reply.content.type()), reply.remoteEndpoint);
            if (!asked && elsewhere.size() < destinations.size()) {
                elsewhere.push_back(std::move(reply));
            }
            continue;
        }
        silent.erase(from);
        replies.push_back(std::move(reply));
        waitStart = Clock::now();
        sends = 1;
    }
}

// Sends a plain binding request to every destination and collects up to one answer per
// destination. Destinations still silent are asked again, up to retries more times; an answer
// to an earlier attempt that arrives during a later one counts as well. An attempt that got
// answers only from endpoints never asked ends the query with those: the service evidently
// answers from another endpoint than the one addressed.
bool normalReplyTest(std::vector<ReceivedMessage>& replies, Messenger& messenger, const std::string& name,
                     long timeoutMs, int retries, const EndpointList& destinations) {
    Content request;
    request.set_type(Content::BIND_REQ);
    EndpointList silent = destinations;
    std::vector<ReceivedMessage> elsewhere;
    for (int attempt = 0; attempt <= retries && !silent.empty(); ++attempt) {
        messenger.send(request, silent);
        collectAnswers(messenger, name, timeoutMs, request, destinations, silent, replies, elsewhere);
        if (replies.empty() && !elsewhere.empty()) {
            Log::warn(name, "answersFromElsewhere",
                      "Accepting %1% answer(s) from %2%, which was not asked, for a request to %3%: the "
                      "service answers from another endpoint",
                      elsewhere.size(), elsewhere.front().remoteEndpoint, destinations.front());
            replies = std::move(elsewhere);
            return true;
        }
    }
    if (!replies.empty()) {
        return true;
    }
    const std::string text =
        Log::format("No response; giving up after %1% retries in %2% ms", retries, timeoutMs * retries);
    Log::info(name, "normalReplyTest", text);
    throw NoUDPConnectionException(name, "normalReplyTest", text);
}

// The mapped addresses of the BIND_RESP answers, in arrival order. Other answers count as
// answers without a mapped address.
void queryMappedAddresses(const EndpointList& destinations, Messenger& messenger, const std::string& name,
                          long timeoutMs, int retries, EndpointList& mapped) {
    std::vector<ReceivedMessage> replies;
    normalReplyTest(replies, messenger, name, timeoutMs, retries, destinations);
    for (const ReceivedMessage& reply : replies) {
        Endpoint endpoint;
        if (reply.content.type() == Content::BIND_RESP &&
            generated::getMappedAddress(reply.content, endpoint, true)) {
            mapped.push_back(endpoint);
        }
    }
}

// Leaves mapped unchanged and returns false when the answers carried no mapped address.
bool queryMappedAddress(const std::string& name, Messenger& messenger, long timeoutMs, int retries,
                        const Endpoint& destination, Endpoint& mapped) {
    EndpointList found;
    queryMappedAddresses(EndpointList{destination}, messenger, name, timeoutMs, retries, found);
    if (found.empty()) {
        return false;
    }
    mapped = found.front();
    return true;
}

// Adopts primary as the binding once a second socket on the same address can be set up too.
void resetLocalEndpoint(const Endpoint& primary, const std::string& name, DiscoverorData& data) {
    data.locallyBound = false;
    const Endpoint alternative(primary.address(), static_cast<unsigned short>(findBindingPort(name)));
    // The messenger's destructor closes its socket however the scope is left.
    Messenger altMessenger(alternative);
    altMessenger.setName(name + ".altMessenger");
    if (!altMessenger.init()) {
        throw ConnectionException(name, "resetLocalEndpoint001", "Could not initialize alt messenger");
    }
    data.priEndpoint = primary;
    // The requested endpoint, not the one the check got: each discovery binds a fresh port.
    data.altEndpoint = alternative;
    data.topology.localAddr = primary.address().to_string();
    data.topology.localPort = primary.port();
    data.locallyBound = true;
}

// Takes the first local address from which S1 answers a binding request.
void resolveLocalEndpoint(const std::string& name, DiscoverorData& data) {
    EndpointList candidates;
    Network::getLocalAddresses(0, candidates);
    const int port = findBindingPort(name);
    Log::info(name, "resolveLocalEndpoint000", "Find binding address on %1%; candidates are: %2%",
              boost::asio::ip::host_name(), Network::endpointsToString(candidates));
    const Endpoint& server = data.servers.front();
    for (const Endpoint& candidate : candidates) {
        Messenger checker(Endpoint(candidate.address(), static_cast<unsigned short>(port)));
        checker.setName(name + ".bindAddrChecker");
        if (!checker.init()) {
            continue;
        }
        const Endpoint bound = checker.getLocalEndpoint();
        Log::trace(name, "resolveLocalEndpoint001", "Check if client can ping to TARN server@%1% from %2%",
                   server, bound);
        try {
            Endpoint mapped;
            if (queryMappedAddress(name, checker, data.discoveryTimeoutMs, data.retries, server, mapped)) {
                resetLocalEndpoint(bound, name, data);
                Log::debug(name, "resolveLocalEndpoint002", "Ping succeeded; using %1% as bind address",
                           bound);
            } else {
                // Something answers but not as a rendezvous server: another address will not do better.
                Log::warn(name, "resolveLocalEndpoint003", "PING FAILED; cannot use %1% as bind address",
                          bound);
            }
            break;
        } catch (const TARNException& e) {
            Log::warn(name, "resolveLocalEndpoint004", "PING FAILED; cannot use %1% as bind address: %2%",
                      bound, e.what());
        }
    }
    if (data.locallyBound) {
        Log::info(name, "resolveLocalEndpoint005", "Using %1%/%2% as pri/alt binding addresses",
                  data.priEndpoint, data.altEndpoint);
    } else {
        Log::warn(name, "resolveLocalEndpoint006",
                  "No binding address - ANY DISCOVERY/P2P ATTEMPTS WILL FAIL");
    }
}

// One binding request with a change request. Any decodable datagram from answerFrom, the endpoint
// the change names, is the answer: a late answer to an earlier test comes from another endpoint
// and must not pass for it. Within the one timeout the request goes out again at even intervals,
// so that a single lost request or answer does not decide the NAT's class.
bool pingWithChange(Messenger& messenger, const Endpoint& destination, const Endpoint& answerFrom,
                    long timeoutMs, Attribute::Change change, const std::string& name) {
    Content request;
    request.set_type(Content::BIND_REQ);
    generated::addChangeRequest(request, change);
    const auto start = Clock::now();
    for (int send = 1; send <= util::Intervals::kChangeTestSends; ++send) {
        messenger.send(request, destination);
        const auto sendEnd =
            start + std::chrono::milliseconds(timeoutMs) * send / util::Intervals::kChangeTestSends;
        for (;;) {
            const int left = waitLeftMs(sendEnd);
            ReceivedMessage reply;
            if (left <= 0 || !messenger.receive(reply, left)) {
                break;
            }
            if (reply.remoteEndpoint == answerFrom) {
                return true;
            }
            Log::trace(name, "pingWithChange001", "Ignoring %1% from %2%: not from %3%",
                       generated::typeName(reply.content.type()), reply.remoteEndpoint, answerFrom);
        }
    }
    return false;
}

TestOutcome outcomeOf(bool answered) {
    return answered ? TestOutcome::ANSWERED : TestOutcome::SILENT;
}

// The five NAT tests. The public endpoint is the primary socket's mapping (test 3).
void discoverNAT(Messenger& pri, Messenger& alt, const std::string& name, DiscoverorData& data) {
    const Endpoint priLocal = pri.getLocalEndpoint();
    const Endpoint altLocal = alt.getLocalEndpoint();
    Topology& topology = data.topology;
    data.priEndpoint = priLocal;
    topology.localAddr = priLocal.address().to_string();
    topology.localPort = priLocal.port();
    const Endpoint& s1 = data.servers[0];
    const Endpoint& s4 = data.servers[3];
    const long timeoutMs = data.discoveryTimeoutMs;

    Log::info(name, "discoverNAT000", "Discovering NAT behavior");
    Log::trace(name, "discoverNAT000", "Test %1%: ping %2% from %3%", 1, s1, altLocal);
    NatMeasurement& measurement = data.measurement;
    measurement = NatMeasurement();
    Endpoint m1;
    queryMappedAddress(name, alt, timeoutMs, data.retries, s1, m1);
    measurement.translated = m1 != altLocal;
    if (!measurement.translated) {
        topology.nat.type = NatType::NONE;
        topology.publicAddr = priLocal.address().to_string();
        topology.publicPort = priLocal.port();
        return;
    }

    Log::trace(name, "discoverNAT001", "Test %1%: ping %2% from %3%", 2, s4, altLocal);
    Endpoint m2;
    queryMappedAddress(name, alt, timeoutMs, data.retries, s4, m2);
    const bool mappingChanges = m1 != m2;
    measurement.mappingChanged = mappingChanges;

    Log::trace(name, "discoverNAT002", "Test %1%: ping %2% from %3%", 3, s1, priLocal);
    Endpoint m3;
    queryMappedAddress(name, pri, timeoutMs, data.retries, s1, m3);
    topology.publicAddr = m3.address().to_string();
    topology.publicPort = m3.port();

    Log::trace(name, "discoverNAT004", "Test %1%: ping %2% from %3%, svr responds from alt IP/port", 4, s1,
               priLocal);
    measurement.changeBoth = outcomeOf(pingWithChange(pri, s1, s4, timeoutMs, Attribute::CHANGE_BOTH, name));
    if (measurement.changeBoth == TestOutcome::ANSWERED) {
        topology.nat.type = mappingChanges ? NatType::SYMMETRIC : NatType::FULL_CONE;
        return;
    }

    if (mappingChanges) {
        topology.nat.type = NatType::SYMMETRIC;
        return;
    }

    Log::trace(name, "discoverNAT004", "Test %1%: ping %2% from %3%, svr responds from alt port", 5, s1,
               priLocal);
    measurement.changePort =
        outcomeOf(pingWithChange(pri, s1, data.servers[1], timeoutMs, Attribute::CHANGE_PORT, name));
    topology.nat.type = measurement.changePort == TestOutcome::ANSWERED ? NatType::RESTRICTED_CONE
                                                                        : NatType::PORT_RESTRICTED_CONE;
}

// The behaviour follows from the type; behind a symmetric NAT the step between the public ports
// of four new mappings (one per server) is measured.
void discoverPortAllocStrategy(Messenger& pri, DiscoverorData& data, const std::string& name) {
    Log::info(name, "discoverPortAllocStrategy000", "Detecting NAT's port allocation behavior");
    NatInfo& nat = data.topology.nat;
    const int type = static_cast<int>(nat.type);
    if (type < 0) {
        nat.behavior = NatBehavior::PORT_SENSITIVE;
    } else if (type <= static_cast<int>(NatType::FULL_CONE)) {
        nat.behavior = NatBehavior::NOT_SENSITIVE;
    } else if (type == static_cast<int>(NatType::RESTRICTED_CONE)) {
        nat.behavior = NatBehavior::ADDRESS_SENSITIVE;
    } else {
        nat.behavior = NatBehavior::PORT_SENSITIVE;
    }
    if (nat.type != NatType::SYMMETRIC) {
        nat.increment = 0;
        Log::debug(name, "discoverPortAllocStrategy001",
                   "No port allocation detection needed; NAT is not symmetric");
        return;
    }

    EndpointList mapped;
    queryMappedAddresses(data.servers, pri, name, data.discoveryTimeoutMs, data.retries, mapped);
    if (mapped.size() < data.servers.size()) {
        // The previous increment stays: a partial answer says nothing about the step.
        Log::error(name, "discoverPortAllocStrategy002", "Could not get all mapped addresses");
        return;
    }
    std::array<int, 4> ports;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        ports[i] = mapped[i].port();
    }
    const PortPlan::Step step = PortPlan::measureStep(ports);
    if (!step.consistent()) {
        Log::warn(name, "discoverPortAllocStrategy003", "Inconsistent intra addr incr: 1st=%1%, 2nd=%2%",
                  step.firstIntraStep, step.secondIntraStep);
    }
    nat.behavior = step.behavior;
    nat.increment = step.increment;
}

// With a messenger the query goes out from it; otherwise from a fresh socket on the local
// binding. An answer without a mapped address leaves mapped unchanged.
void refreshMapping(Messenger* messenger, const std::string& name, DiscoverorData& data, Endpoint& mapped) {
    const Endpoint& s1 = data.servers.front();
    if (messenger != nullptr) {
        queryMappedAddress(name, *messenger, data.discoveryTimeoutMs, data.retries, s1, mapped);
        return;
    }
    const Topology& topology = data.topology;
    Messenger fresh(topology.localAddr, static_cast<int>(topology.localPort));
    fresh.setName(name + ".refreshMessenger");
    if (!fresh.init()) {
        throw TARNException(
            name, "refreshIfExpired",
            Log::format("Could not initialize messenger@%1%:%2%", topology.localAddr, topology.localPort));
    }
    queryMappedAddress(name, fresh, data.discoveryTimeoutMs, data.retries, s1, mapped);
    fresh.shutdown();
}

}  // namespace

DiscoverorData::DiscoverorData()
    : servers(4), lastDiscovery(boost::posix_time::ptime(boost::posix_time::min_date_time)) {
    topology.nat.type = NatType::UNKNOWN;
    topology.nat.behavior = NatBehavior::UNKNOWN;
    topology.nat.increment = -1;
    topology.localAddr = "0.0.0.0";
    topology.localPort = -1;
    topology.publicPort = -1;
}

Discoveror::Discoveror() : data(new DiscoverorData) {}

Discoveror::~Discoveror() = default;

void Discoveror::doMajorDiscovery() {
    const std::string& name = getName();
    checkInitialized(name, "doMajorDiscovery000");
    if (!data->locallyBound) {
        resolveLocalEndpoint(name, *data);
        if (!data->locallyBound) {
            throw NotLocallyBoundException(name, "doMajorDiscovery003",
                                           "Unable to proceed; no local binding");
        }
    }
    Messenger primary(data->priEndpoint);
    primary.setName(name + ".prMessenger");
    if (!primary.init()) {
        throw TARNException(name, "doMajorDiscovery001",
                            Log::format("Could not initialize messenger@%1%", data->priEndpoint));
    }
    Messenger alternative(data->altEndpoint);
    alternative.setName(name + ".altMessenger");
    if (!alternative.init()) {
        throw TARNException(name, "doMajorDiscovery002",
                            Log::format("Could not initialize messenger@%1%", data->altEndpoint));
    }
    data->measurement.complete = false;
    discoverNAT(primary, alternative, name, *data);
    discoverPortAllocStrategy(primary, *data, name);
    data->measurement.complete = true;
    primary.shutdown();
    alternative.shutdown();
    data->lastDiscovery = second_clock::local_time();
}

void Discoveror::refreshIfExpired(Messenger* messenger) {
    const std::string& name = getName();
    const time_duration age = second_clock::local_time() - data->lastDiscovery;
    if (!isExpired(age, data->triggerDiscoveryMinutes)) {
        Log::debug(name, "refreshIfExpired000", "Local topology discovered on %1% is %2%",
                   data->lastDiscovery, "still valid");
        return;
    }
    Log::debug(name, "refreshIfExpired001", "Local topology discovered on %1% is %2%", data->lastDiscovery,
               "NOT VALID; must refresh");
    Endpoint mapped;
    refreshMapping(messenger, name, *data, mapped);
    // Only the public endpoint is refreshed; lastDiscovery stays, so every call refreshes again
    // until the next full discovery.
    Topology& topology = data->topology;
    const std::string address = mapped.address().to_string();
    const int port = mapped.port();
    if (address != topology.publicAddr || port != topology.publicPort) {
        Log::warn(name, "refreshIfExpired002", "Public address changed from %1%:%2% to %3%:%4%",
                  topology.publicAddr, topology.publicPort, address, port);
        topology.publicAddr = address;
        topology.publicPort = port;
    }
}

int Discoveror::findLatestPort() {
    const std::string& name = getName();
    checkInitialized(name, "findLatestPort000");
    Messenger latest(data->topology.localAddr, 0);
    latest.setName(name + ".latestPortDiscMessenger");
    if (!latest.init()) {
        throw TARNException(name, "findLatestPort001",
                            Log::format("Could not initialize messenger@%1%:0", data->topology.localAddr));
    }
    Endpoint mapped;
    refreshMapping(&latest, name, *data, mapped);
    latest.shutdown();
    return mapped.port();
}

Topology& Discoveror::getTopology() {
    return data->topology;
}

const Topology& Discoveror::getTopology() const {
    return data->topology;
}

const NatMeasurement& Discoveror::getMeasurement() const {
    return data->measurement;
}

const EndpointList& Discoveror::getServers() const {
    return data->servers;
}

bool Discoveror::isExpired(const time_duration& age, int triggerMinutes) {
    return age.is_negative() || age.total_seconds() / 60 >= triggerMinutes;
}

bool Discoveror::doInit() {
    const std::string& name = getName();
    try {
        Configurator& config = ServiceRegistry::instance().getConfigurator();
        data->discoveryTimeoutMs = config.getLong("tarn.timeout.discovery", data->discoveryTimeoutMs, true);
        data->retries = config.getInt("tarn.retries", data->retries, false);
        data->triggerDiscoveryMinutes =
            config.getInt("tarn.trigger.discovery", data->triggerDiscoveryMinutes, true);

        Log::trace(name, "doInit000", "Initializing server addresses");
        EndpointList servers;
        Network::getServerEndpoints(servers);
        if (servers.size() != data->servers.size()) {
            Log::trace(name, "doInit001", "Wrong number of TARN server addresses");
            return false;
        }
        Log::debug(name, "doInit002", "Resolved TARN server addresses to %1%",
                   Network::endpointsToString(servers));
        data->servers = servers;
        resolveLocalEndpoint(name, *data);
        return data->locallyBound;
    } catch (const std::exception& e) {
        // Also a socket that cannot be opened (boost::system::system_error), e.g. out of descriptors.
        Log::error(name, "doInit003", e.what());
        return false;
    }
}

void Discoveror::doShutdown() {
    data->measurement = NatMeasurement();
    Topology& topology = data->topology;
    topology.nat.type = NatType::UNKNOWN;
    topology.nat.behavior = NatBehavior::UNKNOWN;
    topology.nat.increment = -1;
    topology.localAddr = "0.0.0.0";
    topology.localPort = -1;
    topology.publicAddr = "0.0.0.0";
    topology.publicPort = -1;
}

}  // namespace tarn::client::impl::service::connection
