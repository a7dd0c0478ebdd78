#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/util/Messenger.h"

namespace tarn::client::impl::service::connection {

// What the listener thread of one connectivity pass works on, shared with the pass thread.
// The peers, the messenger and the topology belong to the caller and must outlive the record.
struct P2PCtxData {
    P2PCtxData(long clientId, const std::string& gameId, util::Messenger& messenger, std::vector<Peer>& peers,
               Topology& topology)
        : clientId(clientId),
          gameId(gameId),
          peers(peers),
          messenger(messenger),
          topology(topology),
          publicPort(topology.publicPort),
          holdRelayed(topology.nat.type == NatType::SYMMETRIC) {}

    // Logger name of the listener side; the context's own name once it is initialized.
    std::string name = "P2PCtxData";
    long clientId;
    // A copy: the context must not depend on the lifetime of the caller's string.
    const std::string gameId;
    // Set by the pass thread, read by the listener once per turn.
    std::atomic<bool> stopped{false};
    // Guards peers and topology.publicPort: the listener writes both while the pass reads them.
    mutable std::shared_mutex mutex;
    // Signalled after every change of a peer's connection, so a waiting round ends at once.
    std::condition_variable_any peerMarked;
    // Lets a listener that paused after a receive error wake up on a stop request.
    std::mutex stopMutex;
    std::condition_variable stopSignal;
    std::unique_ptr<std::thread> listener;
    std::vector<Peer>& peers;
    util::Messenger& messenger;
    Topology& topology;
    // Rendezvous server endpoints: a ping from one of them was relayed.
    std::vector<boost::asio::ip::udp::endpoint> servers;
    // The latest own public port behind a symmetric NAT, and whether this pass measured it; only
    // the pass thread uses them.
    std::int32_t publicPort;
    bool publicPortMeasured = false;
    // Behind a symmetric NAT, answers to relayed pings wait until the pass has measured the latest
    // public port and sent its direct pings: answered earlier, they would take the very ports the
    // measurement and the prediction count on. heldMutex guards both fields.
    std::mutex heldMutex;
    bool holdRelayed;
    std::deque<util::ReceivedMessage> heldRelayed;
};

}  // namespace tarn::client::impl::service::connection
