#pragma once

#include <string>
#include <vector>

#include <tarn/tarn_client.h>
#include <nlohmann/json.hpp>

namespace tarn {
namespace probe {

// The peer list of a session as JSON: what one player prints about itself, what the orchestrator
// hands every player, and what each player reports back.
class PeerListJson {
public:
    // {"identifier": N, "topology": {...}}: the line a player prints after discovery. A JSON array
    // of these lines is a valid peer list.
    static nlohmann::ordered_json player(long identifier, const client::Topology& topology);
    // Reads a peer list: a JSON array of players, or an object whose "peers" is one. A topology
    // names its NAT type and behaviour by code (natTypeCode) or by text (natType). False, with the
    // reason, for anything else; every peer starts unconnected.
    static bool parse(const std::string& line, std::vector<client::Peer>& peers, std::string& error);
    // How a player reached one peer: identifier, connection (text and code) and the public
    // endpoint it was seen at.
    static nlohmann::ordered_json result(const client::Peer& peer);
    // The connection's text; the local client's own entry reads SELF.
    static std::string connectionText(client::ConnectionType connection);
};

}  // namespace probe
}  // namespace tarn
