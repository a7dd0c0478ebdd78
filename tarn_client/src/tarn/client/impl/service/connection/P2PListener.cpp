#include "tarn/client/impl/service/connection/P2PListener.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;
using Endpoint = boost::asio::ip::udp::endpoint;

namespace {

bool contains(const std::vector<Endpoint>& endpoints, const Endpoint& endpoint) {
    return std::find(endpoints.begin(), endpoints.end(), endpoint) != endpoints.end();
}

// A receive that keeps failing (a closed socket) must not spin: wait out the rest of the turn
// unless a stop request comes first.
void pauseAfterError(P2PCtxData& data) {
    std::unique_lock<std::mutex> lock(data.stopMutex);
    data.stopSignal.wait_for(lock, std::chrono::milliseconds(P2PListener::kReceiveTimeoutMs),
                             [&data] { return data.stopped.load(); });
}

// Keeps a relayed ping for later while the pass has still to measure its latest public port and
// send its direct pings; false when it is to be answered now.
bool holdRelayed(const util::ReceivedMessage& message, P2PCtxData& data) {
    std::lock_guard<std::mutex> lock(data.heldMutex);
    if (!data.holdRelayed) {
        return false;
    }
    if (data.heldRelayed.size() < P2PListener::kMaxHeldRelayed) {
        data.heldRelayed.push_back(message);
        Log::debug(data.name, "process004", "Holding relayed ping from %1% until the direct pings are sent",
                   message.remoteEndpoint);
    } else {
        Log::debug(data.name, "process005", "Dropping relayed ping from %1%: %2% are held already",
                   message.remoteEndpoint, data.heldRelayed.size());
    }
    return true;
}

}  // namespace

void P2PListener::listen(P2PCtxData& data) {
    Log::trace(data.name, "listen000", "Listening for peer messages");
    while (!data.stopped) {
        listenOnce(data);
    }
    Log::trace(data.name, "listen002", "Stopping listening for peer messages");
}

void P2PListener::listenOnce(P2PCtxData& data) {
    std::vector<util::ReceivedMessage> received;
    try {
        // Whatever this turn received is handled, also when the stop request came meanwhile: an
        // answer that arrived in time still counts. Only the stop request's own wake-up, sent from
        // our socket to itself, is left alone.
        if (data.messenger.receiveMany(received, kReceiveTimeoutMs, 1) &&
            !(data.stopped && received.front().remoteEndpoint == data.messenger.getLocalEndpoint())) {
            processAll(received, data);
        }
    } catch (const std::exception& e) {
        // A failed receive (ConnectionException) or whatever else one datagram provokes ends this
        // turn only.
        Log::debug(data.name, "listen001", e.what());
        pauseAfterError(data);
    }
}

void P2PListener::processAll(const std::vector<util::ReceivedMessage>& messages, P2PCtxData& data) {
    for (const util::ReceivedMessage& message : messages) {
        process(message, data);
    }
}

void P2PListener::process(const util::ReceivedMessage& message, P2PCtxData& data) {
    const gen::Content& content = message.content;
    const Endpoint& sender = message.remoteEndpoint;
    const gen::Content::Type type = content.type();
    if (type != gen::Content::PING_DIRECT && type != gen::Content::PING_RESP &&
        type != gen::Content::PING_CONFIRM) {
        Log::trace(data.name, "process000", "Ignoring %1% from %2%", gen::typeName(type), sender);
        return;
    }
    long identifier = 0;
    const int index = getPeerIndex(content, data, identifier);
    if (index < 0) {
        Log::debug(data.name, "process001", "Ignoring %1% from %2%", gen::typeName(type), sender);
        return;
    }

    gen::Content reply;
    std::vector<Endpoint> destinations;
    if (type == gen::Content::PING_RESP) {
        markConnected(sender, index, data);
        destinations.push_back(sender);
        prepareMessage(reply, gen::Content::PING_CONFIRM, data);
        Endpoint mapped;
        if (gen::getP2PMappedAddress(content, mapped, true)) {
            const int reported = mapped.port();
            std::unique_lock<std::shared_mutex> lock(data.mutex);
            const int old = data.topology.publicPort;
            if (reported != old) {
                data.topology.publicPort = reported;
                lock.unlock();
                Log::warn(data.name, "process002",
                          "Peer %1%@%2% reports new client public port %3%, old public port was %4%",
                          identifier, sender, reported, old);
            }
        }
    } else if (type == gen::Content::PING_CONFIRM) {
        markConnected(sender, index, data);
    } else {
        // A relayed ping comes from a rendezvous server, which must never get the answer.
        const bool relayed = contains(data.servers, sender);
        if (relayed && holdRelayed(message, data)) {
            return;
        }
        prepareMessage(reply, gen::Content::PING_RESP, data);
        gen::getResponseTargets(content, destinations, true);
        if (!contains(destinations, sender) && !relayed) {
            destinations.push_back(sender);
            gen::addAddress(reply, gen::Attribute::XOR_P2P_MAPPED_ADDRESS, sender, true);
            Log::warn(data.name, "process003", "Peer %1%'s real address %2% not in target list: %3%",
                      identifier, sender, Network::endpointsToString(destinations));
        }
    }
    if (!destinations.empty()) {
        data.messenger.send(reply, destinations);
    }
}

int P2PListener::getPeerIndex(const gen::Content& message, P2PCtxData& data, long& identifier) {
    std::string gameId;
    if (!gen::getGameId(message, gameId) || gameId != data.gameId) {
        Log::debug(data.name, "getPeerIndex000", "No/wrong gameID; expected '%1%', got '%2%'", data.gameId,
                   gameId);
        return -1;
    }
    if (!message.has_uuid()) {
        Log::debug(data.name, "getPeerIndex001", "Message has no UUID");
        return -1;
    }
    const gen::UUID& uuid = message.uuid();
    if (!uuid.has_uuid_upper() || !uuid.has_uuid_lower()) {
        Log::debug(data.name, "getPeerIndex002", "Invalid UUID");
        return -1;
    }
    const std::string address =
        boost::asio::ip::address_v4(static_cast<std::uint32_t>(uuid.uuid_lower())).to_string();
    const long clientId = static_cast<std::int32_t>(static_cast<std::uint32_t>(uuid.uuid_upper()));
    Log::trace(data.name, "getPeerIndex003", "Game ID/IP addr/client ID = %1%/%2%/%3%", gameId, address,
               clientId);
    {
        std::shared_lock<std::shared_mutex> lock(data.mutex);
        for (std::size_t i = 0; i < data.peers.size(); ++i) {
            const Peer& peer = data.peers[i];
            if (peer.topology.localAddr == address && peer.identifier == clientId) {
                identifier = peer.identifier;
                return static_cast<int>(i);
            }
        }
    }
    Log::debug(data.name, "getPeerIndex004", "No peer entry for game ID/IP addr/client ID = %1%/%2%/%3%",
               gameId, address, clientId);
    return -1;
}

void P2PListener::markConnected(const Endpoint& sender, int index, P2PCtxData& data) {
    {
        std::unique_lock<std::shared_mutex> lock(data.mutex);
        Peer peer = data.peers[index];
        if (peer.connection != ConnectionType::NONE && peer.connection != ConnectionType::RELAY) {
            return;
        }
        const std::string address = sender.address().to_string();
        if (address == peer.topology.localAddr && sender.port() == peer.topology.localPort) {
            peer.connection = ConnectionType::DIRECT_PRIVATE;
        } else {
            peer.connection = ConnectionType::DIRECT_PUBLIC;
            peer.topology.publicAddr = address;
            peer.topology.publicPort = sender.port();
        }
        data.peers[index] = peer;
    }
    data.peerMarked.notify_all();
}

void P2PListener::releaseRelayed(P2PCtxData& data) {
    std::deque<util::ReceivedMessage> held;
    {
        std::lock_guard<std::mutex> lock(data.heldMutex);
        data.holdRelayed = false;
        held.swap(data.heldRelayed);
    }
    for (const util::ReceivedMessage& message : held) {
        process(message, data);
    }
}

void P2PListener::prepareMessage(gen::Content& message, gen::Content::Type type, const P2PCtxData& data) {
    message.set_type(type);
    gen::addGameId(message, data.gameId);
    gen::UUID* uuid = message.mutable_uuid();
    uuid->set_uuid_upper(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(data.clientId))));
    uuid->set_uuid_lower(data.messenger.getLocalEndpoint().address().to_v4().to_uint());
}

}  // namespace tarn::client::impl::service::connection
