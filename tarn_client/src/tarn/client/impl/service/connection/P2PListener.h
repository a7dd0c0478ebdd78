#pragma once

#include <cstddef>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/util/ReceivedMessage.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

// The listener side of a connectivity pass: answers the peers' pings and records every peer whose
// answer arrives. listen is the listener thread's body and everything else runs inside it; the
// pass thread also calls answerPing, through the context, for held relayed pings.
class P2PListener {
public:
    // A PING_CONFIRM goes out this many times in a row. The peer whose ping we answered may have
    // no other way to learn that we reached it: one lost confirm would leave it on the relay while
    // we use the direct path.
    static constexpr int kConfirmCopies = 3;
    // A ping's response targets answered at most. A relayed ping carries one target per address
    // the rendezvous server reflects, and the server refuses requests with more than 64; a direct
    // ping carries the sender's predicted ports, 30 by default.
    static constexpr std::size_t kMaxAnswerTargets = 64;

    // The thread body: receives and processes until a stop is requested.
    static void listen(P2PCtxData& data);
    // One turn of the thread body: waits up to one listener turn for one datagram and handles it.
    static void listenOnce(P2PCtxData& data);
    static void processAll(const std::vector<util::ReceivedMessage>& messages, P2PCtxData& data);
    // PING_DIRECT gets a PING_RESP at its response targets, PING_RESP a PING_CONFIRM to its sender
    // (and marks the sender connected), PING_CONFIRM marks the sender connected. A relayed ping
    // may be held instead (HeldPings).
    static void process(const util::ReceivedMessage& message, P2PCtxData& data);
    // The index of the peer that sent the message, -1 for other games, bad UUIDs and strangers.
    static int getPeerIndex(const generated::Content& message, P2PCtxData& data, long& identifier);
    static void markConnected(const boost::asio::ip::udp::endpoint& sender, int index, P2PCtxData& data);
    // Answers a peer's PING_DIRECT at its response targets on the peer's own addresses, the first
    // maxTargets of them less the first `skip`, and at its sender when that is another listed
    // endpoint; returns where the datagrams went, in order. The pass thread calls it too, for held
    // relayed pings, and with primeOnly sends the answer as primers only (P2PCtxData::prime). One
    // paced batch (P2PCtxData::paced).
    static std::vector<boost::asio::ip::udp::endpoint> answerPing(const util::ReceivedMessage& message,
                                                                  int index, long identifier,
                                                                  P2PCtxData& data, std::size_t maxTargets,
                                                                  bool primeOnly = false,
                                                                  std::size_t skip = 0);
    // The response targets of a peer's ping that may get an answer, in order: those on the peer's
    // own listed addresses, at most maxTargets of them. Logs nothing.
    static std::vector<boost::asio::ip::udp::endpoint> listedTargets(const generated::Content& ping,
                                                                     int index, std::size_t maxTargets,
                                                                     P2PCtxData& data);
    // What answerPing sends, without sending it: the destinations, in order, and the reply. Logs
    // what it refuses, so callers run it before they take the send slot.
    static std::vector<boost::asio::ip::udp::endpoint> prepareAnswer(const util::ReceivedMessage& message,
                                                                     int index, long identifier,
                                                                     P2PCtxData& data, std::size_t maxTargets,
                                                                     bool primeOnly, std::size_t skip,
                                                                     generated::Content& reply);
};

}  // namespace tarn::client::impl::service::connection
