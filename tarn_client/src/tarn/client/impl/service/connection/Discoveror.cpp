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
// ports into the port step. DiscoveryPlan holds these decisions and the order of the tests (one
// at a time, or overlapped with tarn.discovery.overlap); this file only runs what it names.
//
// Once test 1 has seen a NAT, the port mapper asks the gateway for a mapping of pri's port beside
// the remaining tests (PortMapper); a mapping the router's external address vouches for is
// advertised at the end as a full cone's public endpoint.

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
#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/service/connection/BindingQueries.h"
#include "tarn/client/impl/service/connection/DiscoverorData.h"
#include "tarn/client/impl/service/connection/DiscoveryPlan.h"
#include "tarn/client/impl/service/connection/PortPlan.h"
#include "tarn/client/impl/service/connection/WaitRules.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using configurator::Settings;
using generated::Attribute;
using generated::Content;
using util::Messenger;
using util::ReceivedMessage;
using Endpoint = boost::asio::ip::udp::endpoint;
using EndpointList = std::vector<Endpoint>;
using Test = DiscoveryPlan::Test;

namespace {

const int kDebugPortBase = 17770;
const int kDebugPortCount = 20;
// A symmetric NAT whose ports grow by at most this much per mapping is predicted by the pass (its
// blocks span up to 64 candidates); a larger step, as a NAT with random ports shows, is not. Other
// hosts' flows make a small step look larger now and then, never a random one small.
const int kPredictableStep = 64;
// Process-wide, so that successive debug-mode sockets get successive fixed ports.
int debugPortCounter = 0;

// 0 (any free port), or in debug mode the next of twenty fixed ports, so that a packet capture
// can tell the sockets apart.
int findBindingPort(const std::string& name) {
    if (!Settings::kDebug.present(ServiceRegistry::instance().getConfigurator())) {
        return 0;
    }
    const int port = kDebugPortBase + debugPortCounter;
    debugPortCounter = (debugPortCounter + 1) % kDebugPortCount;
    Log::warn(name, "findBindingPort", "DEBUG MODE ON; using port %1%", port);
    return port;
}

// The query of a plain binding request to every destination, with retries more attempts.
BindingQueries::Query plainQuery(Messenger& messenger, const EndpointList& destinations, int retries) {
    return {&messenger,
            destinations,
            false,
            Attribute::CHANGE_BOTH,
            Endpoint(),
            retries + 1,
            util::Intervals::kChangeTestSends};
}

// Every attempt of a plain request stayed silent.
[[noreturn]] void giveUp(const std::string& name, std::chrono::milliseconds timeout, int retries) {
    const std::string text =
        Log::format("No response; giving up after %1% retries in %2% ms", retries, timeout.count() * retries);
    Log::info(name, "normalReplyTest", text);
    throw NoUDPConnectionException(name, "normalReplyTest", text);
}

WaitRules::Order waitOrder(const DiscoverorData& data) {
    return data.overlap ? WaitRules::Order::OVERLAPPED : WaitRules::Order::DOCUMENTED;
}

// Says once per engine that the round trip to the service outgrew tarn.timeout.discovery, so the
// documented order waits longer than configured; the overlapped order follows the estimate anyway.
void noteWaitGrowth(const std::string& name, DiscoverorData& data) {
    const std::chrono::milliseconds wait =
        WaitRules::serverWait(data.serverRtt, data.discoveryTimeout, WaitRules::Order::DOCUMENTED);
    if (data.overlap || data.waitGrowthNoted || wait <= data.discoveryTimeout) {
        return;
    }
    data.waitGrowthNoted = true;
    Log::warn(name, "noteWaitGrowth",
              "The round trip to the rendezvous service (%1% ms, varying by %2% ms) needs longer waits than "
              "tarn.timeout.discovery (%3% ms): discovery waits %4% ms for an answer",
              std::chrono::duration_cast<std::chrono::milliseconds>(data.serverRtt.smoothed()).count(),
              std::chrono::duration_cast<std::chrono::milliseconds>(data.serverRtt.variation()).count(),
              data.discoveryTimeout.count(), wait.count());
}

// Sends a plain binding request to every destination and collects up to one answer per
// destination (BindingQueries says how), waiting as the round trip estimate says (WaitRules);
// throws NoUDPConnectionException when none came.
bool normalReplyTest(std::vector<ReceivedMessage>& replies, Messenger& messenger, const std::string& name,
                     DiscoverorData& data, WaitRules::Order order, int retries,
                     const EndpointList& destinations) {
    BindingQueries queries(name, data.discoveryTimeout, messenger.getClock());
    queries.followRtt(data.serverRtt, order);
    const std::size_t query = queries.start(plainQuery(messenger, destinations, retries));
    while (queries.step()) {
    }
    noteWaitGrowth(name, data);
    if (queries.state(query) != BindingQueries::State::ANSWERED) {
        giveUp(name, queries.currentTimeout(), retries);
    }
    replies = queries.answers(query);
    return true;
}

// The mapped addresses of the BIND_RESP answers among replies, in arrival order.
void mappedAddresses(const std::vector<ReceivedMessage>& replies, EndpointList& mapped) {
    for (const ReceivedMessage& reply : replies) {
        Endpoint endpoint;
        if (reply.content.type() == Content::BIND_RESP &&
            generated::getMappedAddress(reply.content, endpoint, true)) {
            mapped.push_back(endpoint);
        }
    }
}

// The mapped addresses of the BIND_RESP answers, in arrival order. Other answers count as
// answers without a mapped address.
void queryMappedAddresses(const EndpointList& destinations, Messenger& messenger, const std::string& name,
                          DiscoverorData& data, WaitRules::Order order, int retries, EndpointList& mapped) {
    std::vector<ReceivedMessage> replies;
    normalReplyTest(replies, messenger, name, data, order, retries, destinations);
    mappedAddresses(replies, mapped);
}

// Leaves mapped unchanged and returns false when the answers carried no mapped address.
bool queryMappedAddress(const std::string& name, Messenger& messenger, DiscoverorData& data,
                        WaitRules::Order order, int retries, const Endpoint& destination, Endpoint& mapped) {
    EndpointList found;
    queryMappedAddresses(EndpointList{destination}, messenger, name, data, order, retries, found);
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
    Messenger altMessenger(alternative, data.clock);
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
        Messenger checker(Endpoint(candidate.address(), static_cast<unsigned short>(port)), data.clock);
        checker.setName(name + ".bindAddrChecker");
        if (!checker.init()) {
            continue;
        }
        const Endpoint bound = checker.getLocalEndpoint();
        Log::trace(name, "resolveLocalEndpoint001", "Check if client can ping to TARN server@%1% from %2%",
                   server, bound);
        try {
            Endpoint mapped;
            if (queryMappedAddress(name, checker, data, waitOrder(data), data.retries, server, mapped)) {
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

// The TRACE line that starts a NAT test, as the documented order writes it; the port step has none.
void logTestStart(Test test, const Endpoint& s1, const Endpoint& s4, const Endpoint& priLocal,
                  const Endpoint& altLocal, const std::string& name) {
    switch (test) {
        case Test::MAPPING_S1:
            Log::trace(name, "discoverNAT000", "Test %1%: ping %2% from %3%", 1, s1, altLocal);
            break;
        case Test::MAPPING_S4:
            Log::trace(name, "discoverNAT001", "Test %1%: ping %2% from %3%", 2, s4, altLocal);
            break;
        case Test::PUBLIC:
            Log::trace(name, "discoverNAT002", "Test %1%: ping %2% from %3%", 3, s1, priLocal);
            break;
        case Test::CHANGE_BOTH:
            Log::trace(name, "discoverNAT004", "Test %1%: ping %2% from %3%, svr responds from alt IP/port",
                       4, s1, priLocal);
            break;
        case Test::CHANGE_PORT:
            Log::trace(name, "discoverNAT004", "Test %1%: ping %2% from %3%, svr responds from alt port", 5,
                       s1, priLocal);
            break;
        case Test::PORT_STEP:
            break;
    }
}

// The NAT tests are over: the type, the public endpoint and the behaviour that follows from the
// type. Behind a symmetric NAT the port step measures the increment afterwards.
void concludeNat(const DiscoveryPlan::Progress& progress, const Endpoint& priLocal, const std::string& name,
                 DiscoverorData& data) {
    Topology& topology = data.topology;
    NatInfo& nat = topology.nat;
    nat.type = DiscoveryPlan::classify(progress);
    data.measurement = DiscoveryPlan::measurement(progress);
    const Endpoint& publicEndpoint = nat.type == NatType::NONE ? priLocal : progress.publicEndpoint;
    topology.publicAddr = publicEndpoint.address().to_string();
    topology.publicPort = publicEndpoint.port();

    Log::info(name, "discoverPortAllocStrategy000", "Detecting NAT's port allocation behavior");
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
    }
}

// The step between the public ports of four new mappings (one per server).
void concludePortStep(const DiscoveryPlan::Progress& progress, const std::string& name,
                      DiscoverorData& data) {
    if (progress.ports.size() < data.servers.size()) {
        // The previous increment stays: a partial answer says nothing about the step.
        Log::error(name, "discoverPortAllocStrategy002", "Could not get all mapped addresses");
        return;
    }
    std::array<int, 4> ports;
    std::copy_n(progress.ports.begin(), ports.size(), ports.begin());
    const PortPlan::Step step = PortPlan::measureStep(ports);
    if (!step.consistent()) {
        Log::warn(name, "discoverPortAllocStrategy003", "Inconsistent intra addr incr: 1st=%1%, 2nd=%2%",
                  step.firstIntraStep, step.secondIntraStep);
    }
    data.topology.nat.behavior = step.behavior;
    data.topology.nat.increment = step.increment;
    data.portStepPredictable = step.increment > 0 && step.increment <= kPredictableStep;
}

// Writes what an ended test found into progress. A plain request met by silence ends the discovery.
void record(Test test, BindingQueries::State state, const std::vector<ReceivedMessage>& answers,
            const std::string& name, const DiscoverorData& data, DiscoveryPlan::Progress& progress) {
    const bool plain = DiscoveryPlan::probe(test).change == DiscoveryPlan::Change::NONE;
    const bool answered = state == BindingQueries::State::ANSWERED;
    progress[test] = answered ? DiscoveryPlan::Status::ANSWERED : DiscoveryPlan::Status::SILENT;
    if (plain && !answered) {
        giveUp(name, data.discoveryTimeout, data.retries);
    }
    EndpointList mapped;
    mappedAddresses(answers, mapped);
    // A query without a mapped address leaves the endpoint at 0.0.0.0:0.
    const Endpoint first = mapped.empty() ? Endpoint() : mapped.front();
    switch (test) {
        case Test::MAPPING_S1:
            progress.mapped1 = first;
            break;
        case Test::MAPPING_S4:
            progress.mapped4 = first;
            break;
        case Test::PUBLIC:
            progress.publicEndpoint = first;
            break;
        case Test::PORT_STEP:
            for (const Endpoint& endpoint : mapped) {
                progress.ports.push_back(endpoint.port());
            }
            break;
        default:
            break;
    }
}

// Every public port discovery learns is a sample of a symmetric NAT's port counter in time.
void notePorts(const std::vector<ReceivedMessage>& answers, DiscoverorData& data) {
    EndpointList mapped;
    mappedAddresses(answers, mapped);
    const auto now =
        std::chrono::duration_cast<std::chrono::microseconds>(data.clock.now().time_since_epoch());
    for (const Endpoint& endpoint : mapped) {
        data.portSamples.push_back({endpoint.port(), now});
    }
}

// Test 1 ended: when the rendezvous service saw another address than ours, the gateway towards it
// is asked for a mapping while the other tests run. True when asked.
bool askMapper(const DiscoveryPlan::Progress& progress, const Endpoint& priLocal, DiscoverorData& data) {
    const Endpoint& seen = progress.mapped1;
    if (seen.address().is_unspecified() || seen.address() == progress.altLocal.address() ||
        !data.servers.front().address().is_v4()) {
        return false;
    }
    return data.portMapper->begin(priLocal, data.servers.front().address().to_v4());
}

// The mapping as the topology's public endpoint: a full cone's, which anyone may reach, so that
// peers of any version ping it. The measurement keeps what the tests found.
void advertiseMapping(bool mapperAsked, const std::string& name, DiscoverorData& data) {
    Topology& topology = data.topology;
    boost::system::error_code error;
    const auto publicSeen = boost::asio::ip::make_address_v4(topology.publicAddr, error);
    std::optional<portmap::PortMapping> mapping;
    if (mapperAsked && !error) {
        mapping = data.portMapper->conclude(publicSeen);
    }
    if (!mapping || !mapping->externalAddress) {
        data.advertised.reset();
        return;
    }
    if (data.measuredNat.type == NatType::SYMMETRIC && data.portStepPredictable) {
        // Prediction already reaches the pairs a mapping would; a router that grants mappings it
        // never forwards would instead cost the pairs of two symmetric players, which peers that
        // see a full cone no longer predict for.
        Log::info(name, "advertiseMapping001",
                  "Not using the %1% mapping %2%:%3%: the symmetric NAT's port step %4% predicts its ports",
                  portmap::protocolName(mapping->protocol), *mapping->externalAddress, mapping->externalPort,
                  data.measuredNat.increment);
        data.portMapper->release();
        data.advertised.reset();
        return;
    }
    if (!data.advertised || data.advertised->externalPort != mapping->externalPort) {
        data.mappingProven = false;
    }
    data.advertised = mapping;
    Log::info(name, "advertiseMapping000",
              "Using the %1% mapping %2%:%3% (lease %4% s) as public endpoint instead of %5%:%6% (%7%)",
              portmap::protocolName(mapping->protocol), *mapping->externalAddress, mapping->externalPort,
              mapping->lease.count(), topology.publicAddr, topology.publicPort, topology.nat);
    topology.publicAddr = mapping->externalAddress->to_string();
    topology.publicPort = mapping->externalPort;
    topology.nat.type = NatType::FULL_CONE;
    topology.nat.behavior = NatBehavior::NOT_SENSITIVE;
    topology.nat.increment = 0;
    data.measurement.mappingProtocol = portmap::protocolName(mapping->protocol);
    data.measurement.mappedAddr = topology.publicAddr;
    data.measurement.mappedPort = topology.publicPort;
    data.measurement.mappingLeaseSeconds = static_cast<std::int32_t>(mapping->lease.count());
}

// Runs the tests the plan names, several at a time where it names several, until it is done. The
// public endpoint is the primary socket's mapping (test 3).
void runPlan(const DiscoveryPlan& plan, Messenger& pri, Messenger& alt, const std::string& name,
             DiscoverorData& data) {
    const Endpoint priLocal = pri.getLocalEndpoint();
    const Endpoint altLocal = alt.getLocalEndpoint();
    data.priEndpoint = priLocal;
    data.topology.localAddr = priLocal.address().to_string();
    data.topology.localPort = priLocal.port();
    data.measurement = NatMeasurement();
    data.portSamples.clear();
    data.portStepPredictable = false;
    Log::info(name, "discoverNAT000", "Discovering NAT behavior");

    DiscoveryPlan::Progress progress;
    progress.altLocal = altLocal;
    BindingQueries queries(name, data.discoveryTimeout, data.clock);
    queries.followRtt(data.serverRtt, waitOrder(data));
    std::array<std::size_t, DiscoveryPlan::kTests> running{};
    bool natConcluded = false;
    bool mapperAsked = false;
    for (;;) {
        if (!natConcluded && DiscoveryPlan::natTestsDone(progress)) {
            natConcluded = true;
            concludeNat(progress, priLocal, name, data);
        }
        if (DiscoveryPlan::done(progress)) {
            break;
        }
        for (const DiscoveryPlan::Probe& probe : plan.nextTests(progress)) {
            logTestStart(probe.test, data.servers[0], data.servers[3], priLocal, altLocal, name);
            EndpointList destinations;
            for (int server : probe.servers) {
                destinations.push_back(data.servers[server]);
            }
            Messenger& messenger = probe.socket == DiscoveryPlan::Socket::PRIMARY ? pri : alt;
            BindingQueries::Query query = plainQuery(messenger, destinations, data.retries);
            if (probe.change != DiscoveryPlan::Change::NONE) {
                query.withChange = true;
                query.change = probe.change == DiscoveryPlan::Change::BOTH ? Attribute::CHANGE_BOTH
                                                                           : Attribute::CHANGE_PORT;
                query.answerFrom = data.servers[probe.answerFrom];
                query.attempts = 1;
            }
            if (data.overlap) {
                query.sends = util::Intervals::kOverlapTestSends;
            }
            running[static_cast<int>(probe.test)] = queries.start(query);
            progress[probe.test] = DiscoveryPlan::Status::RUNNING;
        }
        // A plan names a test until it is done; a gap in one must not pass for a result.
        if (!queries.step()) {
            const std::string text = "The discovery plan stopped before a result";
            Log::error(name, "runPlan", text);
            throw TARNException(name, "runPlan", text);
        }
        for (int i = 0; i < DiscoveryPlan::kTests; ++i) {
            const Test test = static_cast<Test>(i);
            const BindingQueries::State state = progress[test] == DiscoveryPlan::Status::RUNNING
                                                    ? queries.state(running[i])
                                                    : BindingQueries::State::RUNNING;
            if (state != BindingQueries::State::RUNNING) {
                noteWaitGrowth(name, data);
                record(test, state, queries.answers(running[i]), name, data, progress);
                if (test == Test::MAPPING_S1) {
                    mapperAsked = askMapper(progress, priLocal, data);
                }
                notePorts(queries.answers(running[i]), data);
                if (test == Test::PORT_STEP) {
                    concludePortStep(progress, name, data);
                }
            }
        }
    }
    if (data.topology.nat.type == NatType::SYMMETRIC) {
        data.measurement.foreignPortRate = PortRate::estimate(data.portSamples, data.topology.nat.increment);
        Log::debug(name, "runPlan001", "Other hosts take %1% ports per second of the NAT",
                   data.measurement.foreignPortRate);
    }
    data.measurement.lateAnswers = queries.lateAnswers();
    data.measuredNat = data.topology.nat;
    data.measuredPublicPort = data.topology.publicPort;
    advertiseMapping(mapperAsked, name, data);
}

// While a mapping is advertised, a refresh keeps its endpoint as long as the public address is
// still the router's external one, and has the mapper check the mapping. Otherwise the measured
// NAT comes back, and the caller stores the endpoint the refresh found.
bool keepMapping(const Endpoint& mapped, const std::string& name, DiscoverorData& data) {
    if (!data.advertised) {
        return false;
    }
    const std::optional<portmap::PortMapping> held = data.portMapper->held();
    if (held && held->externalAddress && mapped.address().is_v4() &&
        mapped.address().to_v4() == *held->externalAddress) {
        data.portMapper->check();
        data.topology.publicPort = held->externalPort;
        Log::debug(name, "refreshIfExpired003", "Keeping the mapped public endpoint %1%:%2%",
                   data.topology.publicAddr, data.topology.publicPort);
        return true;
    }
    Log::info(name, "refreshIfExpired004", "The mapped endpoint %1%:%2% no longer applies; public endpoint is %3%",
              data.topology.publicAddr, data.topology.publicPort, mapped);
    data.advertised.reset();
    data.topology.nat = data.measuredNat;
    data.measurement.mappingProtocol.clear();
    data.measurement.mappedAddr.clear();
    data.measurement.mappedPort = 0;
    data.measurement.mappingLeaseSeconds = 0;
    return false;
}

// With a messenger the query goes out from it; otherwise from a fresh socket on the local
// binding. An answer without a mapped address leaves mapped unchanged.
void refreshMapping(Messenger* messenger, const std::string& name, DiscoverorData& data, Endpoint& mapped) {
    const Endpoint& s1 = data.servers.front();
    if (messenger != nullptr) {
        queryMappedAddress(name, *messenger, data, waitOrder(data), data.retries, s1, mapped);
        return;
    }
    const Topology& topology = data.topology;
    Messenger fresh(topology.localAddr, static_cast<int>(topology.localPort), data.clock);
    fresh.setName(name + ".refreshMessenger");
    if (!fresh.init()) {
        throw TARNException(
            name, "refreshIfExpired",
            Log::format("Could not initialize messenger@%1%:%2%", topology.localAddr, topology.localPort));
    }
    queryMappedAddress(name, fresh, data, waitOrder(data), data.retries, s1, mapped);
    fresh.shutdown();
}

}  // namespace

DiscoverorData::DiscoverorData(util::Clock& clock)
    : clock(clock), servers(4), lastDiscovery(boost::posix_time::ptime(boost::posix_time::min_date_time)) {
    topology.nat.type = NatType::UNKNOWN;
    topology.nat.behavior = NatBehavior::UNKNOWN;
    topology.nat.increment = -1;
    topology.localAddr = "0.0.0.0";
    topology.localPort = -1;
    topology.publicPort = -1;
}

Discoveror::Discoveror(util::Clock& clock) : data(new DiscoverorData(clock)) {
    data->portMapper = std::make_unique<portmap::PortMapper>("", clock);
}

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
    Messenger primary(data->priEndpoint, data->clock);
    primary.setName(name + ".prMessenger");
    if (!primary.init()) {
        throw TARNException(name, "doMajorDiscovery001",
                            Log::format("Could not initialize messenger@%1%", data->priEndpoint));
    }
    Messenger alternative(data->altEndpoint, data->clock);
    alternative.setName(name + ".altMessenger");
    if (!alternative.init()) {
        throw TARNException(name, "doMajorDiscovery002",
                            Log::format("Could not initialize messenger@%1%", data->altEndpoint));
    }
    data->measurement.complete = false;
    runPlan(
        DiscoveryPlan(data->overlap ? DiscoveryPlan::Order::OVERLAPPED : DiscoveryPlan::Order::DOCUMENTED),
        primary, alternative, name, *data);
    data->measurement.complete = true;
    primary.shutdown();
    alternative.shutdown();
    data->discoveredAt = data->clock.now();
    data->lastDiscovery = second_clock::local_time();
}

void Discoveror::refreshIfExpired(Messenger* messenger) {
    const std::string& name = getName();
    if (data->discoveredAt && !isExpired(data->clock.now() - *data->discoveredAt, data->triggerDiscovery)) {
        Log::debug(name, "refreshIfExpired000", "Local topology discovered on %1% is %2%",
                   data->lastDiscovery, "still valid");
        return;
    }
    Log::debug(name, "refreshIfExpired001", "Local topology discovered on %1% is %2%", data->lastDiscovery,
               "NOT VALID; must refresh");
    Endpoint mapped;
    refreshMapping(messenger, name, *data, mapped);
    if (keepMapping(mapped, name, *data)) {
        return;
    }
    // Only the public endpoint is refreshed; discoveredAt stays, so every call refreshes again
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
    return findLatestPort(waitOrder(*data), data->retries);
}

int Discoveror::probeLatestPort() {
    // One attempt as long as the estimate says an answer takes, in either order.
    return findLatestPort(WaitRules::Order::OVERLAPPED, 0);
}

int Discoveror::findLatestPort(WaitRules::Order order, int retries) {
    const std::string& name = getName();
    checkInitialized(name, "findLatestPort000");
    Messenger latest(data->topology.localAddr, 0, data->clock);
    latest.setName(name + ".latestPortDiscMessenger");
    if (!latest.init()) {
        throw TARNException(name, "findLatestPort001",
                            Log::format("Could not initialize messenger@%1%:0", data->topology.localAddr));
    }
    Endpoint mapped;
    queryMappedAddress(name, latest, *data, order, retries, data->servers.front(), mapped);
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

const util::RttEstimator& Discoveror::getServerRtt() const {
    return data->serverRtt;
}

void Discoveror::notePass(int publicPingsHeard, int peersReachedPublicly) {
    if (!data->advertised) {
        return;
    }
    const std::string& name = getName();
    if (const std::optional<portmap::PortMapping> held = data->portMapper->held()) {
        data->topology.publicPort = held->externalPort;
    }
    if (data->mappingProven) {
        return;
    }
    if (publicPingsHeard > 0) {
        data->mappingProven = true;
        Log::info(name, "notePass000", "Peers reached the mapped endpoint %1%:%2%", data->topology.publicAddr,
                  data->topology.publicPort);
    } else if (peersReachedPublicly > 0) {
        Log::info(name, "notePass001",
                  "No peer reached the mapped endpoint %1%:%2% while %3% peers answered our pings: the router "
                  "does not forward it; the next discovery does without a mapping",
                  data->topology.publicAddr, data->topology.publicPort, peersReachedPublicly);
        data->portMapper->distrust();
    }
}

Topology& Discoveror::getPassTopology() {
    if (!data->advertised || data->mappingProven || data->measuredNat.type != NatType::SYMMETRIC) {
        return data->topology;
    }
    data->passTopology = data->topology;
    data->passTopology.nat = data->measuredNat;
    data->passTopology.publicPort = data->measuredPublicPort;
    return data->passTopology;
}

portmap::PortMapper& Discoveror::getPortMapper() {
    return *data->portMapper;
}

bool Discoveror::isExpired(util::Clock::Duration age, std::chrono::minutes trigger) {
    return std::chrono::floor<std::chrono::minutes>(age) >= trigger;
}

bool Discoveror::doInit() {
    const std::string& name = getName();
    try {
        Configurator& config = ServiceRegistry::instance().getConfigurator();
        data->discoveryTimeout = Settings::kTimeoutDiscovery.milliseconds(config);
        // The connection service clamps and logs the value first; held below the bound here too,
        // so that an engine used alone never counts retries + 1 past the int range.
        data->retries = static_cast<int>(std::min(Settings::kRetries.peek(config), Settings::kRetries.max));
        data->triggerDiscovery = Settings::kTriggerDiscovery.minutes(config);
        data->overlap = Settings::kDiscoveryOverlap.on(config);
        portmap::PortMapper::Settings mapper;
        mapper.enabled = Settings::kPortmap.number(config) != 0;
        data->portMapper->setName(name + ".portmap");
        data->portMapper->configure(mapper);

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
    // The mapping is deleted: a game that ends leaves nothing on the router.
    data->portMapper->stop();
    data->advertised.reset();
    data->mappingProven = false;
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
