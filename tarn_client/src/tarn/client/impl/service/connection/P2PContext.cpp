#include "tarn/client/impl/service/connection/P2PContext.h"

#include <iterator>
#include <system_error>
#include <thread>
#include <utility>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/service/connection/P2PListener.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/SteppedWait.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

P2PContext::P2PContext(long clientId, const std::string& gameId, util::Messenger& messenger,
                       std::vector<Peer>& peers, Topology& topology, util::Clock& clock)
    : data(new P2PCtxData(clientId, gameId, messenger, peers, topology, clock)) {}

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
        data->paced(1, [&] { data->messenger.send(wakeUp, data->messenger.getLocalEndpoint()); });
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

void P2PContext::waitFor(const std::string& callerName, std::chrono::milliseconds timeout,
                         const std::function<void()>& resend) {
    waitFor(callerName, util::SteppedWait(data->clock, timeout, util::Intervals::kRoundWaitParts), resend);
}

void P2PContext::waitFor(const std::string& callerName, util::SteppedWait wait,
                         const std::function<void()>& resend) {
    data->peers.waitUntilReached(data->clock, wait, resend);
    if (wait.timedOut()) {
        Log::trace(callerName, "waitFor", "%1%@%2% stopped listening after %3% ms", callerName,
                   data->messenger.getLocalEndpoint(), wait.getTimeout().count());
    }
}

void P2PContext::awaitConfirmations(std::chrono::milliseconds peerWait) {
    const std::optional<util::Clock::TimePoint> last = data->peers.lastAnsweredUnreached();
    if (!last) {
        return;
    }
    const util::Clock::TimePoint now = data->clock.now();
    if (*last + peerWait <= now) {
        return;
    }
    util::SteppedWait wait(data->clock, std::chrono::ceil<std::chrono::milliseconds>(*last + peerWait - now),
                           util::Intervals::kRoundWaitParts);
    data->peers.waitUntilReached(data->clock, wait);
}

util::Clock& P2PContext::getClock() const {
    return data->clock;
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

void P2PContext::paced(int datagrams, const std::function<void()>& send) {
    data->paced(datagrams, send);
}

void P2PContext::sendPrimers(const gen::Content& message, const EndpointList& destinations) {
    data->paced(static_cast<int>(destinations.size() * std::size(P2PCtxData::kPrimerTimesToLive)),
                [&] { data->prime(message, destinations); });
}

Topology P2PContext::getTopology() const {
    return data->peers.getTopology();
}

int P2PContext::getPublicPort() const {
    return data->symmetric.getPublicPort();
}

void P2PContext::setPublicPort(int port) {
    data->symmetric.setPublicPort(port);
}

int P2PContext::getPhasePort() const {
    return data->symmetric.getPhasePort();
}

double P2PContext::getForeignPortRate() const {
    return data->symmetric.getForeignPortRate();
}

void P2PContext::setForeignPortRate(double portsPerSecond) {
    data->symmetric.setForeignPortRate(portsPerSecond);
}

void P2PContext::setPortProbe(std::function<int()> probe) {
    data->symmetric.setPortProbe(std::move(probe));
}

const BlockSchedule& P2PContext::getBlockSchedule(int blockSize, int lead) {
    return data->symmetric.getBlockSchedule(blockSize, lead);
}

void P2PContext::releaseHeldPings(bool roundOver) {
    data->symmetric.release(roundOver);
}

void P2PContext::answerHeldPingsNow() {
    data->symmetric.answerNow();
}

void P2PContext::openPrivateWindow() {
    data->peers.openPrivateWindow(Network::subnetMask(getTopology().localAddr));
}

void P2PContext::closePrivateWindow() {
    data->peers.closePrivateWindow();
}

int P2PContext::countCuts(std::string& text) const {
    return data->symmetric.countCuts(text);
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
