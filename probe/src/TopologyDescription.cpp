#include "TopologyDescription.h"

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

std::string TopologyDescription::text(const client::Topology& topology) {
    std::ostringstream out;
    out << "Local endpoint:   " << topology.localAddr << ":" << topology.localPort << "\n"
        << "Public endpoint:  " << topology.publicAddr << ":" << topology.publicPort << "\n"
        << "NAT type:         " << client::toString(topology.nat.type) << "\n"
        << "NAT behaviour:    " << client::toString(topology.nat.behavior) << "\n"
        << "Port increment:   " << topology.nat.increment << "\n"
        << "Valid:            " << (topology.isValid() ? "yes" : "no") << "\n"
        << "Meaning:          " << meaning(topology) << "\n";
    return out.str();
}

nlohmann::ordered_json TopologyDescription::json(const client::Topology& topology) {
    nlohmann::ordered_json object;
    object["valid"] = topology.isValid();
    object["natType"] = client::toString(topology.nat.type);
    object["natTypeCode"] = static_cast<int>(topology.nat.type);
    object["natBehavior"] = client::toString(topology.nat.behavior);
    object["natBehaviorCode"] = static_cast<int>(topology.nat.behavior);
    object["natIncrement"] = topology.nat.increment;
    object["localAddr"] = topology.localAddr;
    object["localPort"] = topology.localPort;
    object["publicAddr"] = topology.publicAddr;
    object["publicPort"] = topology.publicPort;
    object["meaning"] = meaning(topology);
    return object;
}

}  // namespace probe
}  // namespace tarn
