#pragma once

#include <string>

#include <tarn/tarn_client.h>
#include <nlohmann/json.hpp>

namespace tarn {
namespace probe {

// What a discovered topology means for the host, in the probe's two output forms.
class TopologyDescription {
public:
    // One plain sentence on what the NAT means for direct connections.
    static std::string meaning(const client::Topology& topology);
    // Aligned "Label: value" lines, one per field, ending with the meaning.
    static std::string text(const client::Topology& topology);
    // The fields under fixed keys: natType, natTypeCode, natBehavior, natBehaviorCode,
    // natIncrement, localAddr, localPort, publicAddr, publicPort, valid, meaning.
    static nlohmann::ordered_json json(const client::Topology& topology);
};

}  // namespace probe
}  // namespace tarn
