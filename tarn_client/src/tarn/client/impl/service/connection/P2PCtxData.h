#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/service/connection/PassLimits.h"
#include "tarn/client/impl/service/connection/PeerTable.h"
#include "tarn/client/impl/service/connection/StopSignal.h"
#include "tarn/client/impl/service/connection/SymmetricAnswers.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

// What one connectivity pass shares between its thread and the listener thread. Each piece of
// state that both threads touch has one owner with its own lock: the peers and the topology
// (peers), the stop request (stop) and the held relayed pings (symmetric). The peers, the messenger
// and the topology belong to the caller and must outlive the record.
struct P2PCtxData {
    P2PCtxData(long clientId, const std::string& gameId, util::Messenger& messenger, std::vector<Peer>& peers,
               Topology& topology, util::Clock& clock);

    // Stamps a message of the pass: its type, the game id and the sender's UUID (the client id
    // sign-extended, the messenger's IPv4 address in host order). Both threads stamp.
    void stamp(generated::Content& message, generated::Content::Type type) const;
    // Sends message to every destination as primers, one with each of kPrimerTimesToLive: they
    // open this socket's mappings in our own NATs and die before the peer's router, which keeps
    // no state for them. A router that keeps state for unsolicited datagrams would otherwise let
    // a peer's datagram that comes first take the public port our own needs.
    void prime(const generated::Content& message,
               const std::vector<boost::asio::ip::udp::endpoint>& destinations) const;

    // Sends one batch of `datagrams` (send does the sending) within PassLimits' burst bound:
    // waits first when the batch would exceed it. Both threads send every batch through here,
    // one batch after another; a block of the symmetric schedule is one batch, so the pause never
    // falls inside it. send must not call paced.
    void paced(int datagrams, const std::function<void()>& send);

    // Whether a destination lies on an address of a peer that may share our network (same public
    // address, or its local address in our subnet): a primer's time-to-live of 2 reaches such a
    // peer through a hairpinning router, so none goes there.
    bool mayShareNetwork(const boost::asio::ip::address& destination) const;

    // 2 passes our own router and dies at the next hop; 3 also passes a second NAT in front of it
    // (a home router behind a carrier's). A peer's router is further away on any real path.
    static constexpr int kPrimerTimesToLive[] = {2, 3};

    // Logger name of the listener side; the context's own name once it is initialized.
    // Written before the listener starts.
    std::string name = "P2PCtxData";
    const long clientId;
    // A copy: the context must not depend on the lifetime of the caller's string.
    const std::string gameId;
    // Both threads send through it: the pass its pings, the listener its answers.
    util::Messenger& messenger;
    // The pass's time: its rounds, resends, pacing and the age of a measured port. Both threads
    // read it; it is safe to share.
    util::Clock& clock;
    PeerTable peers;
    StopSignal stop;
    // The local and public addresses of the peers that may share our network; fixed at
    // construction, read by both threads.
    const std::vector<boost::asio::ip::address> sharedAddresses;
    // The send slot, held for one batch with its wait: guards bursts, the batches that ended in the
    // last burst window (when each ended, how many), oldest first.
    std::mutex paceMutex;
    std::deque<PassLimits::Burst> bursts;
    // How often paced made a batch wait, for the pass's last line.
    std::atomic<int> pausedBatches{0};
    // Rendezvous server endpoints, set before the listener starts: a ping from one was relayed.
    std::vector<boost::asio::ip::udp::endpoint> servers;
    // How many answers in a peer's name came from elsewhere, and how many pings named response
    // targets off the peer's addresses: both threads process, these counts throttle the log.
    std::atomic<int> ignoredAnswers{0};
    std::atomic<int> ignoredTargets{0};
    // Pings from a peer's public address: the listener counts, the pass reads at its end.
    std::atomic<int> publicPingsHeard{0};
    // The rest belongs to the pass thread alone.
    std::unique_ptr<std::thread> listener;
    // The answers to relayed pings behind a symmetric NAT: hold runs on the listener thread,
    // everything else on the pass thread.
    SymmetricAnswers symmetric;
};

}  // namespace tarn::client::impl::service::connection
