#pragma once

#include <array>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"

// The connectivity pass that P2PListenerFuzz feeds: client 11 of game "fuzz-game" behind a
// symmetric NAT, with two peers. Shared with the seed corpus, whose pings carry these ids.
namespace tarn::fuzz::listener {

using Endpoint = boost::asio::ip::udp::endpoint;

constexpr long kClientId = 11;
constexpr long kPeerId = 7;
constexpr long kRelayedPeerId = 8;
constexpr const char* kGame = "fuzz-game";

inline Endpoint loopback(const char* address, unsigned short port) {
    return Endpoint(boost::asio::ip::make_address_v4(address), port);
}

inline const Endpoint kPeerLocal = loopback("127.0.0.1", 40007);
inline const Endpoint kPeerPublic = loopback("127.0.0.2", 40007);
inline const Endpoint kRelayedPeerLocal = loopback("127.0.0.3", 40008);
inline const Endpoint kRelayedPeerPublic = loopback("127.0.0.4", 40008);
inline const Endpoint kRendezvous = loopback("127.0.0.5", 13434);

// Senders by header bits 0-1: peer 7 from its local endpoint and through its NAT, the rendezvous
// server relaying a ping, and a stranger.
inline const std::array<Endpoint, 4> kSenders = {kPeerLocal, kPeerPublic, kRendezvous,
                                                 loopback("127.0.0.6", 40066)};
// Header bit 2: the pass releases the held relayed pings after this record.
constexpr unsigned char kRelease = 4;

inline client::Topology topology(client::NatType type, const Endpoint& local, const Endpoint& mapped) {
    client::Topology result;
    result.nat.type = type;
    result.nat.behavior = type == client::NatType::SYMMETRIC ? client::NatBehavior::PORT_SENSITIVE
                                                             : client::NatBehavior::NOT_SENSITIVE;
    result.localAddr = local.address().to_string();
    result.localPort = local.port();
    result.publicAddr = mapped.address().to_string();
    result.publicPort = mapped.port();
    return result;
}

inline client::Peer peer(long identifier, const client::Topology& peerTopology,
                         client::ConnectionType connection) {
    client::Peer result;
    result.identifier = identifier;
    result.topology = peerTopology;
    result.connection = connection;
    return result;
}

// The own topology (the own socket at local, seen by the servers at 127.0.0.9:50000) and the peer
// list of the pass: itself, peer 7 still to reach, peer 8 known only through the relay.
inline client::Topology ownTopology(const Endpoint& local) {
    return topology(client::NatType::SYMMETRIC, local, loopback("127.0.0.9", 50000));
}

inline std::vector<client::Peer> peers(const client::Topology& own) {
    using client::ConnectionType;
    using client::NatType;
    return {
        peer(kClientId, own, ConnectionType::SELF),
        peer(kPeerId, topology(NatType::PORT_RESTRICTED_CONE, kPeerLocal, kPeerPublic), ConnectionType::NONE),
        peer(kRelayedPeerId, topology(NatType::FULL_CONE, kRelayedPeerLocal, kRelayedPeerPublic),
             ConnectionType::RELAY)};
}

}  // namespace tarn::fuzz::listener
