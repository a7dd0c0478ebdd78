#include "tarn/client/impl/service/connection/PeerTable.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "tarn/client/impl/service/connection/OverlapPlan.h"

namespace tarn::client::impl::service::connection {

namespace {

bool isStillToReach(const Peer& peer) {
    return peer.connection == ConnectionType::NONE && peer.topology.isValid();
}

// A peer reached at sender, which is not its local endpoint.
void markPublic(Peer& peer, const PeerTable::Endpoint& sender) {
    peer.connection = ConnectionType::DIRECT_PUBLIC;
    peer.topology.publicAddr = sender.address().to_string();
    peer.topology.publicPort = sender.port();
}

}  // namespace

PeerTable::PeerTable(std::vector<Peer>& peers, Topology& topology) : peers(peers), topology(topology) {
    for (const Peer& peer : peers) {
        listed.push_back({peer.topology.localAddr, peer.topology.publicAddr, peer.topology.publicPort});
    }
    answered.resize(peers.size());
}

void PeerTable::getUnconnected(std::vector<Peer>& unconnected) const {
    unconnected.clear();
    std::shared_lock<std::shared_mutex> lock(mutex);
    std::copy_if(peers.begin(), peers.end(), std::back_inserter(unconnected), isStillToReach);
}

int PeerTable::countUnconnected() const {
    std::shared_lock<std::shared_mutex> lock(mutex);
    return countUnconnectedLocked();
}

int PeerTable::find(const std::string& localAddr, long identifier) const {
    std::shared_lock<std::shared_mutex> lock(mutex);
    // Nobody inserts or removes peers during a pass, so the index stays valid after the lock.
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (peers[i].topology.localAddr == localAddr && peers[i].identifier == identifier) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void PeerTable::markConnected(const Endpoint& sender, int index) {
    {
        std::unique_lock<std::shared_mutex> lock(mutex);
        Peer peer = peers[index];
        if (peer.connection != ConnectionType::NONE && peer.connection != ConnectionType::RELAY) {
            return;
        }
        const std::string address = sender.address().to_string();
        if (address == peer.topology.localAddr && sender.port() == peer.topology.localPort) {
            peer.connection = ConnectionType::DIRECT_PRIVATE;
        } else if (static_cast<std::size_t>(index) < windows.size() && windows[index].open) {
            Window& window = windows[index];
            if (!window.answered) {
                window.answered = true;
                window.sender = sender;
            }
            return;
        } else {
            markPublic(peer, sender);
        }
        peers[index] = peer;
    }
    marked.notify_all();
}

void PeerTable::openPrivateWindow(const std::string& ownMask) {
    std::unique_lock<std::shared_mutex> lock(mutex);
    windows.assign(peers.size(), Window());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        windows[i].open = OverlapPlan::mayShareNetwork(topology.localAddr, ownMask, topology.publicAddr,
                                                       listed[i].localAddr, listed[i].publicAddr);
    }
}

void PeerTable::closePrivateWindow() {
    {
        std::unique_lock<std::shared_mutex> lock(mutex);
        for (std::size_t i = 0; i < windows.size(); ++i) {
            Peer& peer = peers[i];
            if (windows[i].answered &&
                (peer.connection == ConnectionType::NONE || peer.connection == ConnectionType::RELAY)) {
                markPublic(peer, windows[i].sender);
            }
        }
        windows.clear();
    }
    marked.notify_all();
}

bool PeerTable::replaceOwnPublicPort(int port, int& old) {
    std::unique_lock<std::shared_mutex> lock(mutex);
    old = topology.publicPort;
    if (port < 1 || port > 65535 || topology.nat.type == NatType::SYMMETRIC) {
        return false;
    }
    topology.publicPort = port;
    return true;
}

bool PeerTable::isListedAddress(int index, const boost::asio::ip::address& address) const {
    const std::string text = address.to_string();
    const Listed& own = listed[index];
    return text == own.localAddr || text == own.publicAddr;
}

PeerTable::Endpoint PeerTable::getListedPublicEndpoint(int index) const {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(listed[index].publicAddr, error);
    return error ? Endpoint() : Endpoint(address, static_cast<unsigned short>(listed[index].publicPort));
}

Topology PeerTable::getTopology() const {
    std::shared_lock<std::shared_mutex> lock(mutex);
    return topology;
}

void PeerTable::waitUntilReached(util::Clock& clock, util::SteppedWait& wait,
                                 const std::function<void()>& betweenSteps) const {
    util::Clock::TimePoint stepEnd;
    for (bool first = true;; first = false) {
        {
            std::shared_lock<std::shared_mutex> lock(mutex);
            if (countUnconnectedLocked() == 0 || !wait.nextStep(stepEnd)) {
                return;
            }
        }
        if (!first && betweenSteps) {
            betweenSteps();
        }
        // The predicate is checked before waiting: a mark during the callback is not missed.
        std::shared_lock<std::shared_mutex> lock(mutex);
        clock.waitUntil(marked, lock, stepEnd, [this] { return countUnconnectedLocked() == 0; });
    }
}

void PeerTable::noteAnswered(int index, util::Clock::TimePoint at) {
    std::unique_lock<std::shared_mutex> lock(mutex);
    answered[index] = at;
}

std::optional<util::Clock::TimePoint> PeerTable::lastAnsweredUnreached() const {
    std::shared_lock<std::shared_mutex> lock(mutex);
    std::optional<util::Clock::TimePoint> last;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        if (answered[i] && isStillToReach(peers[i]) && (!last || *answered[i] > *last)) {
            last = answered[i];
        }
    }
    return last;
}

int PeerTable::countUnconnectedLocked() const {
    return static_cast<int>(std::count_if(peers.begin(), peers.end(), isStillToReach));
}

}  // namespace tarn::client::impl::service::connection
