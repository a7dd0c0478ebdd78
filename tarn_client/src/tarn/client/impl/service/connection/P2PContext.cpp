#include "tarn/client/impl/service/connection/P2PContext.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/service/connection/P2PListener.h"
#include "tarn/client/impl/service/connection/PortPlan.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/SteppedWait.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

namespace {
// Ports used up go no lower than this: below it lie the ports of well-known services.
const int kLowestBurnPort = 1024;
}  // namespace

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

int P2PContext::countPublicPingsHeard() const {
    return data->publicPingsHeard.load();
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

void P2PContext::sendPrimers(const gen::Content& message, const EndpointList& destinations) {
    data->prime(message, destinations);
}

Topology P2PContext::getTopology() const {
    return data->peers.getTopology();
}

int P2PContext::getPublicPort() const {
    return data->publicPort;
}

void P2PContext::setPublicPort(int port) {
    if (!data->publicPortMeasured) {
        data->phasePort = port;
    }
    data->publicPort = port;
    data->publicPortMeasured = true;
    ++data->measuredRounds;
    data->measuredAt = std::chrono::steady_clock::now();
    data->taken = 0;
    data->scheduled = false;
}

int P2PContext::getPhasePort() const {
    return data->phasePort;
}

double P2PContext::getForeignPortRate() const {
    return data->foreignPortRate;
}

void P2PContext::setForeignPortRate(double portsPerSecond) {
    data->foreignPortRate = portsPerSecond;
}

void P2PContext::setPortProbe(std::function<int()> probe) {
    data->measurePort = std::move(probe);
}

const BlockSchedule& P2PContext::getBlockSchedule(int blockSize, int lead) {
    if (!data->scheduled) {
        std::vector<Peer> unconnected;
        getUnconnectedPeers(unconnected);
        // Only the phase's first round pings peers at endpoints it has not used before.
        data->schedule = BlockSchedule(unconnected, blockSize, lead, data->measuredRounds == 1);
        data->scheduled = true;
        data->nextBlock = 0;
        data->blockPeers.clear();
        for (std::size_t block = 0; block < data->schedule.countBlocks(); ++block) {
            const auto& peer = data->schedule.peerOf(block);
            data->blockPeers.push_back(data->peers.find(peer.second, peer.first));
        }
        // The round's direct pings go out right after its destinations are chosen.
        if (data->taken >= 0) {
            data->taken += data->schedule.getConePeers();
        }
    }
    return data->schedule;
}

void P2PContext::releaseHeldPings(bool roundOver) {
    if (!data->publicPortMeasured) {
        return;
    }
    answerPrimed();
    sortHeldPings();
    for (; data->nextBlock < data->schedule.countBlocks(); ++data->nextBlock) {
        const auto ping = data->pending.find(data->blockPeers[data->nextBlock]);
        if (ping == data->pending.end()) {
            if (!roundOver) {
                return;
            }
            // The next block lines up by itself: the ports of this one are used up then.
            continue;
        }
        answerBlock(data->nextBlock, ping->second);
        data->pending.erase(ping);
    }
    // Nothing of this round comes later to answer what was just primed.
    if (roundOver) {
        answerPrimed();
    }
}

void P2PContext::answerPrimed() {
    gen::Content reply;
    data->stamp(reply, gen::Content::PING_RESP);
    for (const int index : data->primed) {
        const EndpointList& sent = data->answered[index].sent;
        if (!sent.empty()) {
            data->messenger.send(reply, sent);
        }
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

void P2PContext::sortHeldPings() {
    for (HeldPings::Held& h : data->held.takeAll()) {
        EndpointList targets;
        gen::getResponseTargets(h.message.content, targets, true);
        const auto done = data->answered.find(h.index);
        if (done != data->answered.end() && done->second.targets == targets) {
            // A repeat: its answers go where the first went, through mappings that exist, unless
            // they are still primers whose answers come at the next release.
            const bool primed =
                std::find(data->primed.begin(), data->primed.end(), h.index) != data->primed.end();
            if (!primed && !done->second.sent.empty()) {
                gen::Content reply;
                data->stamp(reply, gen::Content::PING_RESP);
                data->messenger.send(reply, done->second.sent);
            }
            continue;
        }
        if (std::find(data->blockPeers.begin(), data->blockPeers.end(), h.index) != data->blockPeers.end()) {
            data->pending[h.index] = std::move(h);
            continue;
        }
        // A peer with no block this round: its answers take ports that no block expected.
        data->answered[h.index] = {targets, P2PListener::answerPing(h.message, h.index, h.identifier, *data,
                                                                    P2PListener::kMaxAnswerTargets)};
        data->taken = -1;
    }
}

void P2PContext::answerBlock(std::size_t block, const HeldPings::Held& ping) {
    const std::size_t blockSize = static_cast<std::size_t>(data->schedule.getBlockSize());
    EndpointList targets;
    gen::getResponseTargets(ping.message.content, targets, true);
    data->primed.push_back(ping.index);
    const int taken = portsTaken();
    if (taken < 0) {
        // Where the counter stands is unknown: the answers go out in order, as on a quiet NAT.
        data->answered[ping.index] = {
            targets,
            P2PListener::answerPing(ping.message, ping.index, ping.identifier, *data, blockSize, true)};
        return;
    }
    const PortPlan::Alignment at = PortPlan::align(taken, data->schedule.firstPosition(block));
    burnPorts(ping.index, at.burn);
    EndpointList sent = P2PListener::answerPing(ping.message, ping.index, ping.identifier, *data, blockSize,
                                                true, static_cast<std::size_t>(at.skip));
    data->taken = taken + at.burn + static_cast<int>(sent.size());
    Log::debug(getName(), "answerBlock",
               "Block %1% for peer %2%: %3% ports gone since port %4%, %5% used up, %6% of the block gone, "
               "%7% answers",
               block, ping.identifier, taken, data->publicPort, at.burn, at.skip, sent.size());
    data->answered[ping.index] = {targets, std::move(sent)};
}

int P2PContext::portsTaken() {
    const auto now = std::chrono::steady_clock::now();
    if ((data->taken >= 0 && now - data->measuredAt <= util::Intervals::kLatestPortFresh) ||
        !data->measurePort) {
        return data->taken;
    }
    try {
        const int port = data->measurePort();
        data->measuredAt = std::chrono::steady_clock::now();
        data->taken = PortPlan::stepsBetween(data->publicPort, port, data->peers.getTopology().nat.increment);
    } catch (const TARNException& e) {
        // The count of our own flows is the best guess left.
        Log::debug(getName(), "portsTaken", "Could not measure the latest port again: %1%", e.what());
    }
    return data->taken;
}

void P2PContext::burnPorts(int index, int count) {
    const auto peerPublic = data->peers.getListedPublicEndpoint(index);
    if (count <= 0 || peerPublic.port() == 0) {
        return;
    }
    gen::Content ping;
    data->stamp(ping, gen::Content::PING_DIRECT);
    EndpointList burn;
    // Below the peer's listed port, where its NAT has handed out ports already: none of the
    // ports the peer announces later can be among them.
    const int range = 65536 - kLowestBurnPort;
    for (int i = 0; i < count; ++i) {
        const int below = (peerPublic.port() - 1 - data->burnt - i - kLowestBurnPort) % range;
        burn.emplace_back(peerPublic.address(),
                          static_cast<unsigned short>(kLowestBurnPort + (below + range) % range));
    }
    data->burnt += count;
    data->prime(ping, burn);
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
