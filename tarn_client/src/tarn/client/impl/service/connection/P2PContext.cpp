#include "tarn/client/impl/service/connection/P2PContext.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/service/connection/P2PListener.h"
#include "tarn/client/impl/service/connection/PortPlan.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/SteppedWait.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

P2PContext::P2PContext(long clientId, const std::string& gameId, util::Messenger& messenger,
                       std::vector<Peer>& peers, Topology& topology)
    : data(new P2PCtxData(clientId, gameId, messenger, peers, topology)) {}

P2PContext::~P2PContext() {
    stopListening();
}

void P2PContext::setServers(const EndpointList& servers) {
    data->servers = servers;
}

void P2PContext::startListening() {
    if (data->listener) {
        return;
    }
    data->stop.reset();
    Log::fillNarrowCache();
    try {
        data->listener.reset(new std::thread(&P2PListener::listen, std::ref(*data)));
    } catch (const std::system_error& e) {
        Log::info(getName(), "startListening001", "Could not start the listener: %1%", e.what());
    }
}

void P2PContext::stopListening() {
    if (!data->listener) {
        return;
    }
    data->stop.request();
    // A datagram to our own socket ends the listener's receive now instead of at its time-out.
    if (data->messenger.isInitialized()) {
        gen::Content wakeUp;
        wakeUp.set_type(gen::Content::ERROR);
        data->messenger.send(wakeUp, data->messenger.getLocalEndpoint());
    }
    data->listener->join();
    data->listener.reset();
}

void P2PContext::getUnconnectedPeers(std::vector<Peer>& peers) const {
    data->peers.getUnconnected(peers);
}

int P2PContext::countUnconnectedPeers() const {
    return data->peers.countUnconnected();
}

void P2PContext::waitFor(const std::string& callerName, int timeoutMs) {
    waitFor(callerName, timeoutMs, {});
}

void P2PContext::waitFor(const std::string& callerName, int timeoutMs, const std::function<void()>& resend) {
    waitFor(callerName, timeoutMs,
            util::SteppedWait(std::chrono::milliseconds(timeoutMs), util::Intervals::kRoundWaitParts),
            resend);
}

void P2PContext::waitFor(const std::string& callerName, int timeoutMs, util::SteppedWait wait,
                         const std::function<void()>& resend) {
    data->peers.waitUntilReached(wait, resend);
    if (wait.timedOut()) {
        Log::trace(callerName, "waitFor", "%1%@%2% stopped listening after %3% ms", callerName,
                   data->messenger.getLocalEndpoint(), timeoutMs);
    }
}

void P2PContext::prepareMessage(gen::Content& message, gen::Content::Type type) const {
    data->stamp(message, type);
}

void P2PContext::prepareMessage(gen::Content& message, gen::Content::Type type,
                                const EndpointList& targets) const {
    data->stamp(message, type);
    for (const auto& target : targets) {
        gen::addAddress(message, gen::Attribute::XOR_RESPONSE_TARGET, target, true);
    }
}

util::Messenger& P2PContext::getMessenger() {
    return data->messenger;
}

Topology P2PContext::getTopology() const {
    return data->peers.getTopology();
}

int P2PContext::getPublicPort() const {
    return data->publicPort;
}

void P2PContext::setPublicPort(int port) {
    data->publicPort = port;
    data->publicPortMeasured = true;
    data->scheduled = false;
}

const BlockSchedule& P2PContext::getBlockSchedule(int blockSize) {
    if (!data->scheduled) {
        std::vector<Peer> unconnected;
        getUnconnectedPeers(unconnected);
        data->schedule = BlockSchedule(unconnected, blockSize);
        data->scheduled = true;
        data->nextBlock = 0;
    }
    return data->schedule;
}

void P2PContext::releaseHeldPings(bool roundOver) {
    if (!data->publicPortMeasured) {
        return;
    }
    const BlockSchedule& schedule = data->schedule;
    const std::size_t blockSize = static_cast<std::size_t>(schedule.getBlockSize());
    answerPrimed(blockSize);
    for (; data->nextBlock < schedule.countBlocks(); ++data->nextBlock) {
        const auto& peer = schedule.peerOf(data->nextBlock);
        const int index = data->peers.find(peer.second, peer.first);
        const std::vector<HeldPings::Held> held = data->held.take(index);
        if (held.empty() && !roundOver) {
            return;
        }
        std::size_t sent = 0;
        for (const HeldPings::Held& h : held) {
            // The primers take the block's ports in order; a repeated ping names the same targets,
            // so its primers and answers take no further ports.
            const std::size_t n =
                P2PListener::answerPing(h.message, h.index, h.identifier, *data, blockSize, true);
            sent = std::max(sent, n);
            data->primed.push_back(h);
        }
        fillBlock(index, blockSize - std::min(sent, blockSize));
    }
    // Nothing of this round comes later to answer what was just primed.
    if (roundOver) {
        answerPrimed(blockSize);
    }
    answerHeldPingsNow();
}

void P2PContext::answerPrimed(std::size_t blockSize) {
    for (const HeldPings::Held& h : data->primed) {
        P2PListener::answerPing(h.message, h.index, h.identifier, *data, blockSize);
    }
    data->primed.clear();
}

void P2PContext::answerHeldPingsNow() {
    for (const HeldPings::Held& h : data->held.release()) {
        P2PListener::answerPing(h.message, h.index, h.identifier, *data, P2PListener::kMaxAnswerTargets);
    }
}

void P2PContext::openPrivateWindow() {
    data->peers.openPrivateWindow(Network::subnetMask(getTopology().localAddr));
}

void P2PContext::closePrivateWindow() {
    data->peers.closePrivateWindow();
}

void P2PContext::fillBlock(int index, std::size_t count) {
    if (index < 0 || count == 0) {
        return;
    }
    const auto peerPublic = data->peers.getListedPublicEndpoint(index);
    if (peerPublic.port() == 0) {
        return;
    }
    gen::Content ping;
    data->stamp(ping, gen::Content::PING_DIRECT);
    EndpointList fill;
    for (const int port : PortPlan::predictPorts(peerPublic.port(), 1, static_cast<int>(count))) {
        fill.emplace_back(peerPublic.address(), static_cast<unsigned short>(port));
    }
    data->messenger.send(ping, fill);
}

bool P2PContext::doInit() {
    data->name = getName();
    data->stop.reset();
    return true;
}

void P2PContext::doShutdown() {
    stopListening();
}

}  // namespace tarn::client::impl::service::connection
