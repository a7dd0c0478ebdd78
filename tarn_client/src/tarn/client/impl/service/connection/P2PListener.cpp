#include "tarn/client/impl/service/connection/P2PListener.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iterator>
#include <string>

#include <boost/asio/ip/address_v4.hpp>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;
using Endpoint = boost::asio::ip::udp::endpoint;

namespace {

bool contains(const std::vector<Endpoint>& endpoints, const Endpoint& endpoint) {
    return std::find(endpoints.begin(), endpoints.end(), endpoint) != endpoints.end();
}

// Lines about ignored datagrams are written for the 1st, 2nd, 4th, 8th... only: a flood of them
// must not flood the log.
bool isWorthLogging(int count) {
    return count > 0 && (count & (count - 1)) == 0;
}

// Logs, throttled, how many of a ping's response targets get no answer: a stranger who knows a
// peer's id may aim them at a bystander, and would otherwise flood the log.
void logRefusedTargets(const gen::Content& ping, long identifier, std::size_t maxTargets,
                       std::size_t answered, P2PCtxData& data) {
    std::vector<Endpoint> targets;
    gen::getResponseTargets(ping, targets, true);
    const std::size_t refused = targets.size() - std::min(answered, targets.size());
    if (refused > 0 && isWorthLogging(++data.ignoredTargets)) {
        Log::debug(data.name, "process007",
                   "Not answering %1% of %2% response targets of peer %3%: not on its addresses or over %4% "
                   "(%5% pings so far)",
                   refused, targets.size(), identifier, maxTargets, data.ignoredTargets.load());
    }
}

}  // namespace

void P2PListener::listen(P2PCtxData& data) {
    Log::trace(data.name, "listen000", "Listening for peer messages");
    while (!data.stop.requested()) {
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
        if (data.messenger.receiveMany(received, util::Intervals::kListenerTurn, 1) &&
            !(data.stop.requested() &&
              received.front().remoteEndpoint == data.messenger.getLocalEndpoint())) {
            processAll(received, data);
        }
    } catch (const std::exception& e) {
        // A failed receive (ConnectionException) or whatever else one datagram provokes ends this
        // turn only.
        Log::debug(data.name, "listen001", e.what());
        data.stop.pause(util::Intervals::kListenerTurn);
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
    if (type != gen::Content::PING_DIRECT && !data.peers.isListedAddress(index, sender.address())) {
        // Anyone who knows a peer's id may answer in its name, but only from the peer's own
        // addresses may the answer count: else a stranger would receive the game's traffic.
        if (isWorthLogging(++data.ignoredAnswers)) {
            Log::debug(data.name, "process006",
                       "Ignoring %1% in the name of peer %2% from %3%: not one of its addresses (%4% so far)",
                       gen::typeName(type), identifier, sender, data.ignoredAnswers.load());
        }
        return;
    }
    if (type == gen::Content::PING_RESP) {
        markConnected(sender, index, data);
        destinations.assign(kConfirmCopies, sender);
        data.stamp(reply, gen::Content::PING_CONFIRM);
        Endpoint mapped;
        if (gen::getP2PMappedAddress(content, mapped, true)) {
            const int reported = mapped.port();
            int old = 0;
            const bool taken = data.peers.replaceOwnPublicPort(reported, old);
            if (reported != old && taken) {
                Log::warn(data.name, "process002",
                          "Peer %1%@%2% reports new client public port %3%, old public port was %4%",
                          identifier, sender, reported, old);
            } else if (reported != old) {
                Log::debug(
                    data.name, "process008",
                    "Peer %1%@%2% reports client public port %3%; keeping %4% (not a port, or behind a "
                    "symmetric NAT)",
                    identifier, sender, reported, old);
            }
        }
    } else if (type == gen::Content::PING_CONFIRM) {
        markConnected(sender, index, data);
    } else {
        // A relayed ping comes from a rendezvous server, which must never get the answer.
        const bool relayed = contains(data.servers, sender);
        if (!relayed && sender.address() == data.peers.getListedPublicEndpoint(index).address()) {
            ++data.publicPingsHeard;
        }
        if (relayed && data.symmetric.hold(message, index, identifier, data.name)) {
            return;
        }
        answerPing(message, index, identifier, data, kMaxAnswerTargets);
        return;
    }
    if (!destinations.empty()) {
        data.paced(static_cast<int>(destinations.size()), [&] { data.messenger.send(reply, destinations); });
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
    const int index = data.peers.find(address, clientId);
    if (index >= 0) {
        identifier = clientId;
        return index;
    }
    Log::debug(data.name, "getPeerIndex004", "No peer entry for game ID/IP addr/client ID = %1%/%2%/%3%",
               gameId, address, clientId);
    return -1;
}

void P2PListener::markConnected(const Endpoint& sender, int index, P2PCtxData& data) {
    data.peers.markConnected(sender, index);
}

std::vector<Endpoint> P2PListener::answerPing(const util::ReceivedMessage& message, int index,
                                              long identifier, P2PCtxData& data, std::size_t maxTargets,
                                              bool primeOnly, std::size_t skip) {
    gen::Content reply;
    const std::vector<Endpoint> destinations =
        prepareAnswer(message, index, identifier, data, maxTargets, primeOnly, skip, reply);
    if (primeOnly) {
        data.paced(static_cast<int>(destinations.size() * std::size(P2PCtxData::kPrimerTimesToLive)),
                   [&] { data.prime(reply, destinations); });
    } else if (!destinations.empty()) {
        data.paced(static_cast<int>(destinations.size()), [&] { data.messenger.send(reply, destinations); });
        data.peers.noteAnswered(index, data.clock.now());
    }
    return destinations;
}

std::vector<Endpoint> P2PListener::listedTargets(const gen::Content& ping, int index, std::size_t maxTargets,
                                                 P2PCtxData& data) {
    // Anything off the peer's addresses would let whoever knows a peer's id aim our answers at a
    // bystander.
    std::vector<Endpoint> targets;
    gen::getResponseTargets(ping, targets, true);
    std::vector<Endpoint> destinations;
    for (const Endpoint& target : targets) {
        if (destinations.size() < maxTargets && data.peers.isListedAddress(index, target.address())) {
            destinations.push_back(target);
        }
    }
    return destinations;
}

std::vector<Endpoint> P2PListener::prepareAnswer(const util::ReceivedMessage& message, int index,
                                                 long identifier, P2PCtxData& data, std::size_t maxTargets,
                                                 bool primeOnly, std::size_t skip, gen::Content& reply) {
    const Endpoint& sender = message.remoteEndpoint;
    data.stamp(reply, gen::Content::PING_RESP);
    std::vector<Endpoint> destinations = listedTargets(message.content, index, maxTargets, data);
    logRefusedTargets(message.content, identifier, maxTargets, destinations.size(), data);
    destinations.erase(destinations.begin(), destinations.begin() + std::min(skip, destinations.size()));
    if (!contains(destinations, sender) && !contains(data.servers, sender) &&
        data.peers.isListedAddress(index, sender.address())) {
        destinations.push_back(sender);
        gen::addAddress(reply, gen::Attribute::XOR_P2P_MAPPED_ADDRESS, sender, true);
        if (!primeOnly) {
            Log::warn(data.name, "process003", "Peer %1%'s real address %2% not in target list: %3%",
                      identifier, sender, Network::endpointsToString(destinations));
        }
    }
    return destinations;
}

}  // namespace tarn::client::impl::service::connection
