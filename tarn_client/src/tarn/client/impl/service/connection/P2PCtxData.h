#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/service/connection/BlockSchedule.h"
#include "tarn/client/impl/service/connection/HeldPings.h"
#include "tarn/client/impl/service/connection/PeerTable.h"
#include "tarn/client/impl/service/connection/StopSignal.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

// What one connectivity pass shares between its thread and the listener thread. Each piece of
// state that both threads touch has one owner with its own lock: the peers and the topology
// (peers), the stop request (stop) and the held relayed pings (held). The peers, the messenger
// and the topology belong to the caller and must outlive the record.
struct P2PCtxData {
    P2PCtxData(long clientId, const std::string& gameId, util::Messenger& messenger, std::vector<Peer>& peers,
               Topology& topology);

    // Stamps a message of the pass: its type, the game id and the sender's UUID (the client id
    // sign-extended, the messenger's IPv4 address in host order). Both threads stamp.
    void stamp(generated::Content& message, generated::Content::Type type) const;
    // Sends message to every destination as primers, one with each of kPrimerTimesToLive: they
    // open this socket's mappings in our own NATs and die before the peer's router, which keeps
    // no state for them. A router that keeps state for unsolicited datagrams would otherwise let
    // a peer's datagram that comes first take the public port our own needs.
    void prime(const generated::Content& message,
               const std::vector<boost::asio::ip::udp::endpoint>& destinations) const;

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
    PeerTable peers;
    StopSignal stop;
    HeldPings held;
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
    // The latest own public port behind a symmetric NAT, measured for the round, and whether this
    // pass measured one; the first of the phase, after which the direct pings took their ports.
    std::int32_t publicPort;
    bool publicPortMeasured = false;
    std::int32_t phasePort;
    int measuredRounds = 0;
    // When the NAT's counter was last measured, and how many ports it has handed out since
    // publicPort as far as the pass knows (-1: unknown).
    std::chrono::steady_clock::time_point measuredAt;
    int taken = 0;
    // Measures the latest port anew (may throw TARNException); unset, the pass counts its own.
    std::function<int()> measurePort;
    // Ports per second that other hosts take of our symmetric NAT; negative when unknown.
    double foreignPortRate = -1;
    // The round's schedule, made at its first call, the peer index of each block, and the next
    // block to answer.
    BlockSchedule schedule;
    bool scheduled = false;
    std::vector<int> blockPeers;
    std::size_t nextBlock = 0;
    // Per peer index: its newest relayed ping whose targets no answer went to yet.
    std::map<int, HeldPings::Held> pending;
    // Per peer index: the targets of the relayed ping answered last, and where the answers went.
    struct Answered {
        std::vector<boost::asio::ip::udp::endpoint> targets;
        std::vector<boost::asio::ip::udp::endpoint> sent;
    };
    std::map<int, Answered> answered;
    // Ports used up so far with pings to unused endpoints: each goes to one never used before.
    int burnt = 0;
    // Peer indices whose block's answers went out as primers; answered for real at the next
    // release, so that the peer's own primers towards our answers' ports have a step's time to go
    // out first.
    std::vector<int> primed;
};

}  // namespace tarn::client::impl::service::connection
