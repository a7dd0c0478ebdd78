#pragma once

#include <cstddef>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/util/ReceivedMessage.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

// The listener side of a connectivity pass: answers the peers' pings and records every peer whose
// answer arrives. All functions run on the listener thread.
class P2PListener {
public:
    // How long one turn waits for a datagram; also bounds how late a stop request is noticed.
    static constexpr int kReceiveTimeoutMs = 100;

    // Relayed pings held behind a symmetric NAT beyond this many are dropped.
    static constexpr std::size_t kMaxHeldRelayed = 64;

    // The thread body: receives and processes until data.stopped is set.
    static void listen(P2PCtxData& data);
    // One turn of the thread body: waits up to kReceiveTimeoutMs for one datagram and handles it.
    static void listenOnce(P2PCtxData& data);
    static void processAll(const std::vector<util::ReceivedMessage>& messages, P2PCtxData& data);
    // PING_DIRECT gets a PING_RESP at its response targets, PING_RESP a PING_CONFIRM to its sender
    // (and marks the sender connected), PING_CONFIRM marks the sender connected.
    static void process(const util::ReceivedMessage& message, P2PCtxData& data);
    // The index of the peer that sent the message, -1 for other games, bad UUIDs and strangers.
    static int getPeerIndex(const generated::Content& message, P2PCtxData& data, long& identifier);
    // DIRECT_PRIVATE when the sender is the peer's own local endpoint, else DIRECT_PUBLIC with the
    // sender as the peer's public endpoint. Peers already reached keep their result.
    static void markConnected(const boost::asio::ip::udp::endpoint& sender, int index, P2PCtxData& data);
    // Stops holding relayed pings and answers the ones held so far, on the calling thread.
    static void releaseRelayed(P2PCtxData& data);
    // Stamps a message of the pass: its type, the game id and the sender's UUID (the client id
    // sign-extended, the messenger's IPv4 address in host order).
    static void prepareMessage(generated::Content& message, generated::Content::Type type,
                               const P2PCtxData& data);
};

}  // namespace tarn::client::impl::service::connection
