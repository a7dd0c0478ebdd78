#include "PeerListJson.h"

#include <cstdint>
#include <limits>

#include "TopologyDescription.h"

namespace tarn {
namespace probe {

using nlohmann::json;

namespace {

// A whole number that fits in 32 bits, from field key of object.
bool readInt(const json& object, const char* key, std::int32_t& value, std::string& error) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        error = std::string("'") + key + "' must be a whole number";
        return false;
    }
    const std::int64_t wide = found->get<std::int64_t>();
    if (wide < std::numeric_limits<std::int32_t>::min() || wide > std::numeric_limits<std::int32_t>::max()) {
        error = std::string("'") + key + "' does not fit in 32 bits";
        return false;
    }
    value = static_cast<std::int32_t>(wide);
    return true;
}

bool readText(const json& object, const char* key, std::string& value, std::string& error) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        error = std::string("'") + key + "' must be a text";
        return false;
    }
    value = found->get<std::string>();
    return true;
}

// An enumeration value by its code, else by the library's text of one of the codes 0..highest.
template <typename Enum>
bool readEnum(const json& object, const char* codeKey, const char* textKey, Enum highest, Enum& value,
              std::string& error) {
    if (object.contains(codeKey)) {
        std::int32_t code = 0;
        if (!readInt(object, codeKey, code, error)) {
            return false;
        }
        value = static_cast<Enum>(code);
        return true;
    }
    std::string text;
    if (!readText(object, textKey, text, error)) {
        error = std::string("a topology needs '") + codeKey + "' or '" + textKey + "'";
        return false;
    }
    for (std::int32_t code = 0; code <= static_cast<std::int32_t>(highest); ++code) {
        if (text == client::toString(static_cast<Enum>(code))) {
            value = static_cast<Enum>(code);
            return true;
        }
    }
    error = std::string("unknown ") + textKey + " '" + text + "'";
    return false;
}

bool readTopology(const json& object, client::Topology& topology, std::string& error) {
    if (!object.is_object()) {
        error = "'topology' must be an object";
        return false;
    }
    return readEnum(object, "natTypeCode", "natType", client::NatType::SYMMETRIC, topology.nat.type, error) &&
           readEnum(object, "natBehaviorCode", "natBehavior", client::NatBehavior::PORT_SENSITIVE,
                    topology.nat.behavior, error) &&
           readInt(object, "natIncrement", topology.nat.increment, error) &&
           readText(object, "localAddr", topology.localAddr, error) &&
           readInt(object, "localPort", topology.localPort, error) &&
           readText(object, "publicAddr", topology.publicAddr, error) &&
           readInt(object, "publicPort", topology.publicPort, error);
}

bool readPlayer(const json& entry, client::Peer& peer, std::string& error) {
    if (!entry.is_object()) {
        error = "must be an object";
        return false;
    }
    std::int32_t identifier = 0;
    if (!readInt(entry, "identifier", identifier, error)) {
        return false;
    }
    peer.identifier = identifier;
    const auto topology = entry.find("topology");
    if (topology == entry.end()) {
        error = "has no 'topology'";
        return false;
    }
    return readTopology(*topology, peer.topology, error);
}

}  // namespace

nlohmann::ordered_json PeerListJson::player(long identifier, const client::Topology& topology) {
    nlohmann::ordered_json object;
    object["identifier"] = identifier;
    object["topology"] = TopologyDescription::json(topology);
    return object;
}

bool PeerListJson::parse(const std::string& line, std::vector<client::Peer>& peers, std::string& error) {
    const json document = json::parse(line, nullptr, false);
    if (document.is_discarded()) {
        error = "the peer list is not JSON";
        return false;
    }
    const json* list = &document;
    if (document.is_object()) {
        const auto found = document.find("peers");
        list = found != document.end() ? &*found : nullptr;
    }
    if (list == nullptr || !list->is_array()) {
        error = "the peer list must be a JSON array of players or an object with a 'peers' array";
        return false;
    }
    peers.clear();
    for (std::size_t i = 0; i < list->size(); ++i) {
        client::Peer peer;
        std::string problem;
        if (!readPlayer((*list)[i], peer, problem)) {
            error = "peer " + std::to_string(i + 1) + ": " + problem;
            return false;
        }
        peers.push_back(peer);
    }
    return true;
}

nlohmann::ordered_json PeerListJson::result(const client::Peer& peer) {
    nlohmann::ordered_json object;
    object["identifier"] = peer.identifier;
    object["connection"] = connectionText(peer.connection);
    object["connectionCode"] = static_cast<int>(peer.connection);
    object["publicAddr"] = peer.topology.publicAddr;
    object["publicPort"] = peer.topology.publicPort;
    return object;
}

std::string PeerListJson::connectionText(client::ConnectionType connection) {
    return connection == client::ConnectionType::SELF ? "SELF" : client::toString(connection);
}

}  // namespace probe
}  // namespace tarn
