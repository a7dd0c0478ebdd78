#include "TopologyDescription.h"

#include <cmath>
#include <iomanip>
#include <sstream>

namespace tarn {
namespace probe {

using client::NatType;

std::string TopologyDescription::meaning(const client::Topology& topology) {
    if (!topology.isValid()) {
        return "Discovery did not complete, so direct connections cannot be planned: traffic with other "
               "players "
               "would be relayed.";
    }
    switch (topology.nat.type) {
        case NatType::NONE:
            return "No NAT: other players can reach this host directly at its public endpoint.";
        case NatType::FULL_CONE:
            return "Full-cone NAT: once the port is mapped, any player can reach this host at its public "
                   "endpoint.";
        case NatType::RESTRICTED_CONE:
            return "Restricted-cone NAT: a player can reach this host after this host has sent to that "
                   "player's "
                   "address, so direct connections work with almost every player.";
        case NatType::PORT_RESTRICTED_CONE:
            return "Port-restricted-cone NAT: a player can reach this host after this host has sent to that "
                   "player's exact address and port, so direct connections work except with players behind a "
                   "symmetric NAT.";
        case NatType::SYMMETRIC: {
            std::ostringstream sentence;
            sentence
                << "Symmetric NAT: the public port changes with every destination, so direct connections "
                   "rely on predicting ports "
                << topology.nat.increment << " apart and often fall back to relay.";
            return sentence.str();
        }
        default:
            return "Unknown NAT type: direct connections cannot be planned and traffic would be relayed.";
    }
}

StandardTerms StandardTerms::of(const client::Topology& topology, const client::NatMeasurement& measurement,
                                double elapsedMs) {
    StandardTerms terms;
    terms.mapping = measurement.mapping(topology.nat);
    terms.filtering = measurement.filtering();
    // A mapping the router granted is what the world meets: one endpoint that takes datagrams from
    // anyone, whatever the NAT does to the host's other flows.
    if (measurement.complete && !measurement.mappingProtocol.empty()) {
        terms.mapping = client::MappingBehavior::ENDPOINT_INDEPENDENT;
        terms.filtering = client::FilteringBehavior::ENDPOINT_INDEPENDENT;
    }
    terms.elapsedMs = elapsedMs;
    return terms;
}

namespace {

std::string describe(const client::Topology& topology, const StandardTerms* terms) {
    std::ostringstream out;
    out << "Local endpoint:   " << topology.localAddr << ":" << topology.localPort << "\n"
        << "Public endpoint:  " << topology.publicAddr << ":" << topology.publicPort << "\n"
        << "NAT type:         " << client::toString(topology.nat.type) << "\n"
        << "NAT behaviour:    " << client::toString(topology.nat.behavior) << "\n";
    if (terms != nullptr) {
        out << "NAT mapping:      " << client::toString(terms->mapping) << "\n"
            << "NAT filtering:    " << client::toString(terms->filtering) << "\n";
    }
    out << "Port increment:   " << topology.nat.increment << "\n";
    if (terms != nullptr) {
        out << "Discovery took:   " << std::fixed << std::setprecision(1) << terms->elapsedMs << " ms\n"
            << std::defaultfloat;
    }
    out << "Valid:            " << (topology.isValid() ? "yes" : "no") << "\n"
        << "Meaning:          " << TopologyDescription::meaning(topology) << "\n";
    return out.str();
}

nlohmann::ordered_json describeJson(const client::Topology& topology, const StandardTerms* terms) {
    nlohmann::ordered_json object;
    object["valid"] = topology.isValid();
    object["natType"] = client::toString(topology.nat.type);
    object["natTypeCode"] = static_cast<int>(topology.nat.type);
    object["natBehavior"] = client::toString(topology.nat.behavior);
    object["natBehaviorCode"] = static_cast<int>(topology.nat.behavior);
    if (terms != nullptr) {
        object["natMapping"] = client::toString(terms->mapping);
        object["natMappingCode"] = static_cast<int>(terms->mapping);
        object["natFiltering"] = client::toString(terms->filtering);
        object["natFilteringCode"] = static_cast<int>(terms->filtering);
    }
    object["natIncrement"] = topology.nat.increment;
    if (terms != nullptr) {
        // Milliseconds, to the microsecond: on a LAN discovery can take less than one.
        object["discoveryMs"] = std::round(terms->elapsedMs * 1000.0) / 1000.0;
    }
    object["localAddr"] = topology.localAddr;
    object["localPort"] = topology.localPort;
    object["publicAddr"] = topology.publicAddr;
    object["publicPort"] = topology.publicPort;
    object["meaning"] = TopologyDescription::meaning(topology);
    return object;
}

}  // namespace

std::string TopologyDescription::text(const client::Topology& topology) {
    return describe(topology, nullptr);
}

std::string TopologyDescription::text(const client::Topology& topology, const StandardTerms& terms) {
    return describe(topology, &terms);
}

nlohmann::ordered_json TopologyDescription::json(const client::Topology& topology) {
    return describeJson(topology, nullptr);
}

nlohmann::ordered_json TopologyDescription::json(const client::Topology& topology,
                                                 const StandardTerms& terms) {
    return describeJson(topology, &terms);
}

}  // namespace probe
}  // namespace tarn
