#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "tarn/client/NatMeasurement.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/service/connection/PortRate.h"
#include "tarn/client/impl/service/portmap/PortMapper.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/RttEstimator.h"

namespace tarn::client::impl::service::connection {

// The state of the discovery engine. The settings are read at every init; the initial values
// below are the configuration defaults, for an engine used before its first init.
struct DiscoverorData {
    using Endpoint = boost::asio::ip::udp::endpoint;

    explicit DiscoverorData(util::Clock& clock);

    // The engine's waits, resends and expiry run on it.
    util::Clock& clock;
    // The current result; handed out by reference, so it lives as long as the engine.
    Topology topology;
    // What the last full discovery measured; handed out by reference like the topology.
    NatMeasurement measurement;
    // The public ports the full discovery's flows were given, with the times of their answers.
    std::vector<PortRate::Sample> portSamples;
    // The local address and the port the binding check was bound to.
    Endpoint priEndpoint;
    // The same address with port 0 (any free port), or a fixed port in debug mode.
    Endpoint altEndpoint;
    // S1..S4: addr.1:port.1, addr.1:port.2, addr.2:port.1, addr.2:port.2.
    std::vector<Endpoint> servers;
    // Wait per attempt of a binding request.
    std::chrono::milliseconds discoveryTimeout{500};
    // Extra attempts of a binding request met by silence.
    int retries = 2;
    // The round trip to the rendezvous service, from every binding exchange; kept across
    // discoveries, as the path rarely changes and each exchange corrects it.
    util::RttEstimator serverRtt;
    // The documented order's waits outgrew tarn.timeout.discovery, and a WARN line said so.
    bool waitGrowthNoted = false;
    // A local address from which a rendezvous server answers has been found.
    bool locallyBound = false;
    // End of the last full discovery on the clock, from which the topology's age counts; none
    // before the first.
    std::optional<util::Clock::TimePoint> discoveredAt;
    // The same moment in local wall-clock time, only for the text of the refresh's log lines; the
    // earliest date-time before the first.
    boost::posix_time::ptime lastDiscovery;
    // Age of the topology from which it is refreshed.
    std::chrono::minutes triggerDiscovery{2};
    // Run the NAT tests overlapped rather than one at a time (tarn.discovery.overlap = 1).
    bool overlap = false;
    // The router's port mapping of the primary socket (tarn.portmap); its worker renews it.
    std::unique_ptr<portmap::PortMapper> portMapper;
    // The mapping the topology advertises as its public endpoint, if any, and whether a peer has
    // reached it yet (until then it is unproven: the router may grant mappings it never forwards).
    std::optional<portmap::PortMapping> advertised;
    bool mappingProven = false;
    // What the NAT tests concluded, kept while a mapping is advertised in the topology instead.
    NatInfo measuredNat;
    int measuredPublicPort = -1;
    // Behind a symmetric NAT: the port step is small enough for the pass to predict ports, so it
    // needs no mapping.
    bool portStepPredictable = false;
    // The measured topology a pass connects with while a symmetric player's mapping is unproven.
    Topology passTopology;
};

}  // namespace tarn::client::impl::service::connection
