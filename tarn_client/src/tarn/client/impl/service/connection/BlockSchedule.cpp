#include "tarn/client/impl/service/connection/BlockSchedule.h"

#include <algorithm>

#include "tarn/client/impl/service/connection/PortPlan.h"

namespace tarn::client::impl::service::connection {

BlockSchedule::BlockSchedule(const std::vector<Peer>& unconnected, int blockSize, int lead,
                             bool conePingsTakePorts, int announced)
    : blockSize(std::max(blockSize, 0)), lead(std::max(lead, 0)), announced(std::max(announced, 0)) {
    for (const Peer& peer : unconnected) {
        const NatType type = peer.topology.nat.type;
        if (type == NatType::SYMMETRIC) {
            symmetricPeers.emplace_back(peer.identifier, peer.topology.localAddr);
        } else if (type != NatType::UNKNOWN && conePingsTakePorts) {
            ++conePeers;
        }
    }
}

int BlockSchedule::getBlockSize() const {
    return blockSize;
}

int BlockSchedule::getConePeers() const {
    return conePeers;
}

std::size_t BlockSchedule::countBlocks() const {
    return symmetricPeers.size();
}

int BlockSchedule::blockOf(long identifier, const std::string& localAddr) const {
    const auto found =
        std::find(symmetricPeers.begin(), symmetricPeers.end(), std::make_pair(identifier, localAddr));
    return found == symmetricPeers.end() ? -1 : static_cast<int>(found - symmetricPeers.begin());
}

const std::pair<long, std::string>& BlockSchedule::peerOf(std::size_t block) const {
    return symmetricPeers.at(block);
}

std::vector<int> BlockSchedule::conePorts(int latestPort, int increment) const {
    return PortPlan::predictPorts(latestPort, increment, blockSize);
}

std::vector<int> BlockSchedule::blockPorts(std::size_t block, int latestPort, int increment) const {
    const int before = firstPosition(block) - 1;
    std::vector<int> ports = PortPlan::predictPorts(latestPort, increment, before + blockSize);
    ports.erase(ports.begin(), ports.begin() + std::min<std::size_t>(before, ports.size()));
    return ports;
}

int BlockSchedule::firstPosition(std::size_t block) const {
    return announced + conePeers + lead + static_cast<int>(block) * (blockSize + lead) + 1;
}

}  // namespace tarn::client::impl::service::connection
