#include "tarn/client/impl/service/connection/P2PContext.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>

#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/service/connection/P2PListener.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

namespace {

bool isStillToReach(const Peer& peer) {
    return peer.connection == ConnectionType::NONE && peer.topology.isValid();
}

// Caller holds data.mutex.
int countStillToReach(const P2PCtxData& data) {
    return static_cast<int>(std::count_if(data.peers.begin(), data.peers.end(), isStillToReach));
}

}  // namespace

P2PContext::P2PContext(long clientId, const std::string& gameId, util::Messenger& messenger,
                       std::vector<Peer>& peers, Topology& topology)
    : data(new P2PCtxData(clientId, gameId, messenger, peers, topology)) {}

P2PContext::~P2PContext() {
    stopListening();
}

void P2PContext::startListening() {
    if (data->listener) {
        return;
    }
    data->stopped = false;
    Log::fillNarrowCache();
    try {
        data->listener.reset(new std::thread(&P2PListener::listen, std::ref(*data)));
    } catch (const std::system_error& e) {
        Log::error(getName(), "startListening", "Could not start the listener: %1%", e.what());
    }
}

void P2PContext::stopListening() {
    if (!data->listener) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(data->stopMutex);
        data->stopped = true;
    }
    data->stopSignal.notify_all();
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
    peers.clear();
    std::shared_lock<std::shared_mutex> lock(data->mutex);
    std::copy_if(data->peers.begin(), data->peers.end(), std::back_inserter(peers), isStillToReach);
}

int P2PContext::countUnconnectedPeers() const {
    std::shared_lock<std::shared_mutex> lock(data->mutex);
    return countStillToReach(*data);
}

void P2PContext::waitFor(const std::string& callerName, int timeoutMs) {
    // The count is taken every step as before, but a peer marked by the listener ends the step
    // at once: a round whose peers all answered does not wait out the step.
    const int step = std::max(timeoutMs / 4, 1);
    int elapsed = 0;
    {
        std::shared_lock<std::shared_mutex> lock(data->mutex);
        auto stepEnd = std::chrono::steady_clock::now();
        while (countStillToReach(*data) > 0 && elapsed < timeoutMs) {
            stepEnd += std::chrono::milliseconds(step);
            data->peerMarked.wait_until(lock, stepEnd, [this] { return countStillToReach(*data) == 0; });
            // A step that the last answer cut short counts whole, as if it had been slept out: an
            // answer in the final step still ends the wait with the time-out line.
            elapsed += step;
        }
    }
    if (elapsed >= timeoutMs) {
        Log::trace(callerName, "waitFor", "%1%@%2% stopped listening after %3% ms", callerName,
                   data->messenger.getLocalEndpoint(), timeoutMs);
    }
}

void P2PContext::prepareMessage(gen::Content& message, gen::Content::Type type) const {
    P2PListener::prepareMessage(message, type, *data);
}

void P2PContext::prepareMessage(gen::Content& message, gen::Content::Type type,
                                const EndpointList& targets) const {
    P2PListener::prepareMessage(message, type, *data);
    for (const auto& target : targets) {
        gen::addAddress(message, gen::Attribute::XOR_RESPONSE_TARGET, target, true);
    }
}

util::Messenger& P2PContext::getMessenger() {
    return data->messenger;
}

Topology P2PContext::getTopology() const {
    std::shared_lock<std::shared_mutex> lock(data->mutex);
    return data->topology;
}

int P2PContext::getPublicPort() const {
    return data->publicPort;
}

void P2PContext::setPublicPort(int port) {
    data->publicPort = port;
    data->publicPortMeasured = true;
}

void P2PContext::releaseHeldPings() {
    if (data->publicPortMeasured) {
        P2PListener::releaseRelayed(*data);
    }
}

bool P2PContext::doInit() {
    try {
        Log::trace(getName(), "doInit000", "Getting server addresses");
        data->servers.clear();
        Network::getServerEndpoints(data->servers);
    } catch (const TARNException& e) {
        Log::error(getName(), "doInit001", e.what());
        return false;
    }
    data->name = getName();
    data->stopped = false;
    return true;
}

void P2PContext::doShutdown() {
    stopListening();
}

}  // namespace tarn::client::impl::service::connection
