#pragma once

#include <string>

#include <tarn/tarn_client.h>
#include <nlohmann/json.hpp>

namespace tarn {
namespace probe {

// The NAT in today's standard terms (RFC 4787), derived from what discovery measured, and how
// long discovery took: what `discover` shows beside the topology.
struct StandardTerms {
    client::MappingBehavior mapping = client::MappingBehavior::UNKNOWN;
    client::FilteringBehavior filtering = client::FilteringBehavior::UNKNOWN;
    double elapsedMs = 0;

    // From the measurement, except that an advertised port mapping is endpoint-independent both ways.
    static StandardTerms of(const client::Topology& topology, const client::NatMeasurement& measurement,
                            double elapsedMs);
};

// What a discovered topology means for the host, in the probe's two output forms.
class TopologyDescription {
public:
    // One plain sentence on what the NAT means for direct connections.
    static std::string meaning(const client::Topology& topology);
    // Aligned "Label: value" lines, one per field, ending with the meaning.
    static std::string text(const client::Topology& topology);
    // The same with "NAT mapping" and "NAT filtering" after the classic type and behaviour, and
    // "Discovery took" after the port increment.
    static std::string text(const client::Topology& topology, const StandardTerms& terms);
    // The fields under fixed keys: natType, natTypeCode, natBehavior, natBehaviorCode,
    // natIncrement, localAddr, localPort, publicAddr, publicPort, valid, meaning.
    static nlohmann::ordered_json json(const client::Topology& topology);
    // The same with natMapping, natMappingCode, natFiltering, natFilteringCode after
    // natBehaviorCode, and discoveryMs after natIncrement.
    static nlohmann::ordered_json json(const client::Topology& topology, const StandardTerms& terms);
};

}  // namespace probe
}  // namespace tarn
