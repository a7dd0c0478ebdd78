#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tarn/client/Peer.h"

namespace tarn::client::impl::service::connection {

// The order in which a player behind a symmetric NAT sends to new destinations during its public
// phase, fixed when the phase begins. Such a NAT gives every new destination its next port, so
// the order decides which port each datagram leaves from:
//
//   1. one direct ping per peer that is not behind a symmetric NAT, in list order;
//   2. per peer behind a symmetric NAT, in list order, one block of blockSize answers to that
//      peer's relayed ping.
//
// Every symmetric peer gets a relay request of its own that names exactly its block's ports, so
// two symmetric players answer each other from and to the ports each announced: the j-th answer
// of each side leaves from its j-th port towards the other's j-th port, and both NATs then hold
// the pair of mappings. In a game with one symmetric peer and no other, the block starts right
// after the measured port, as it always has.
//
// Behind a NAT that other hosts share, their flows take ports too. Each block then starts `lead`
// ports later than the ports before it leave off, where the NAT's counter most likely stands when
// the block is used (PortPlan::leadFor); the pass lines its answers up with the block when it
// sends them. A lead of 0 gives the plain schedule. Pure: no socket, no clock.
class BlockSchedule {
public:
    // No symmetric peers, no cone peers: nothing to schedule.
    BlockSchedule() = default;
    // unconnected: the peers still to reach when the round begins, in list order. conePingsTakePorts
    // is false in the later rounds of a phase: their direct pings go where the first round's went.
    // announced: how many ports after the latest one earlier rounds of the phase announced
    // already; the blocks start after them (a peer may have answered those from older ports).
    BlockSchedule(const std::vector<Peer>& unconnected, int blockSize, int lead = 0,
                  bool conePingsTakePorts = true, int announced = 0);

    int getBlockSize() const;
    // How many direct pings come before the first block and take new ports.
    int getConePeers() const;
    std::size_t countBlocks() const;
    // The block of the symmetric peer with this identifier and local address, -1 for others.
    int blockOf(long identifier, const std::string& localAddr) const;
    // The peer of a block: its identifier and local address.
    const std::pair<long, std::string>& peerOf(std::size_t block) const;
    // The ports announced to the non-symmetric peers: blockSize ports from the first after
    // latestPort, so that they cover the direct pings' ports with room for stray mappings.
    std::vector<int> conePorts(int latestPort, int increment) const;
    // The ports the answers of a block leave from.
    std::vector<int> blockPorts(std::size_t block, int latestPort, int increment) const;
    // The place of a block's first port among the NAT's ports after the latest one, counted from 1.
    int firstPosition(std::size_t block) const;

private:
    int blockSize = 0;
    int lead = 0;
    int announced = 0;
    int conePeers = 0;
    std::vector<std::pair<long, std::string>> symmetricPeers;
};

}  // namespace tarn::client::impl::service::connection
