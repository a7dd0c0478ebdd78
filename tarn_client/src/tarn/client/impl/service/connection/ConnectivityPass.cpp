#include "tarn/client/impl/service/connection/ConnectivityPass.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <utility>

#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/AbstractConnector.h"
#include "tarn/client/impl/service/connection/ConnectionServiceData.h"
#include "tarn/client/impl/service/connection/Discoveror.h"
#include "tarn/client/impl/service/connection/OverlapPlan.h"
#include "tarn/client/impl/service/connection/P2PContext.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/client/impl/util/SteppedWait.h"

namespace tarn::client::impl::service::connection {

namespace {

const char* const kPrivatePhase = "PRIVATE NETWORKING";
const char* const kSymmetricPhase = "PUBLIC NETWORKING (BEHIND SYM NAT)";
const char* const kNonSymmetricPhase = "PUBLIC NETWORKING (BEHIND NON SYM NAT)";

// The log tags of one kind of phase.
struct PhaseTags {
    const char* start;
    const char* round;
    const char* end;
};
const PhaseTags kConnectorTags{"doConnect000", "doConnect001", "doConnect002"};
const PhaseTags kSymmetricTags{"doConnect010", "doConnect012", "doConnect013"};

void logStart(const std::string& serviceName, const PhaseTags& tags, const std::string& phase,
              const std::vector<Peer>& unconnected) {
    Log::debug(serviceName, tags.start, "START %1%: reach %2% unconnected peer(s): %3%", phase,
               unconnected.size(), ConnectivityPass::peerListText(unconnected));
}

// remaining is the count as last taken; the list is taken now.
void logEnd(P2PContext& context, const std::string& serviceName, const PhaseTags& tags,
            const std::string& phase, int remaining) {
    std::vector<Peer> unconnected;
    context.getUnconnectedPeers(unconnected);
    Log::debug(serviceName, tags.end, "END %1%: %2% peer(s) still unconnected: %3%", phase, remaining,
               ConnectivityPass::peerListText(unconnected));
}

// The wire carries 32-bit client ids: a longer one matches nobody, so its peer ends on the relay.
void warnAboutWideIds(const std::string& serviceName, long clientId, const std::vector<Peer>& peers) {
    std::string wide;
    const auto isWide = [](long id) {
        return id < std::numeric_limits<std::int32_t>::min() || id > std::numeric_limits<std::int32_t>::max();
    };
    const auto add = [&wide](long id) { wide += (wide.empty() ? "" : ", ") + std::to_string(id); };
    if (isWide(clientId)) {
        add(clientId);
    }
    for (const Peer& peer : peers) {
        if (isWide(peer.identifier) && peer.identifier != clientId) {
            add(peer.identifier);
        }
    }
    if (!wide.empty()) {
        Log::warn(serviceName, "discoverConnectivity002",
                  "Client ids outside the 32-bit range match no peer on the wire and end on the relay: %1%",
                  wide);
    }
}

// A peer entry carries what the peer's discovery measured: dotted addresses and ports. One that
// does not parse (a host name, a port outside 1..65535) is logged once and left for the relay
// before the first round, so the other peers go on and no round looks a name up.
void leaveUnusableEntriesForRelay(const std::string& serviceName, std::vector<Peer>& peers) {
    for (Peer& peer : peers) {
        Network::Endpoint unused;
        if (peer.connection != ConnectionType::NONE || !peer.topology.isValid() ||
            (Network::parseEndpoint(peer.topology.localAddr, peer.topology.localPort, unused) &&
             Network::parseEndpoint(peer.topology.publicAddr, peer.topology.publicPort, unused))) {
            continue;
        }
        Log::warn(serviceName, "discoverConnectivity003",
                  "Peer %1% is listed at no IPv4 address and port: %2%; left for the relay", peer.identifier,
                  peer.topology);
        peer.connection = ConnectionType::RELAY;
    }
}

// Before any round, opens our NAT's mapping towards every peer's public endpoint with a ping that
// dies on the way. A router that keeps state for unsolicited datagrams would otherwise let a
// peer's early ping take the public port our own ping needs, and a peer's filter would then drop
// what we send. Behind a symmetric NAT it would take a port outside the prediction, and without a
// NAT there is no mapping to open.
void primePublicPaths(P2PContext& context) {
    const Topology own = context.getTopology();
    if (own.nat.type == NatType::NONE || own.nat.type == NatType::SYMMETRIC) {
        return;
    }
    Network::Endpoint ownPublic;
    if (!Network::parseEndpoint(own.publicAddr, own.publicPort, ownPublic)) {
        return;
    }
    std::vector<Peer> peers;
    context.getUnconnectedPeers(peers);
    P2PContext::EndpointList destinations;
    for (const Peer& peer : peers) {
        Network::Endpoint peerPublic;
        if (Network::parseEndpoint(peer.topology.publicAddr, peer.topology.publicPort, peerPublic)) {
            destinations.push_back(peerPublic);
        }
    }
    generated::Content ping;
    context.prepareMessage(ping, generated::Content::PING_DIRECT, {ownPublic});
    context.sendPrimers(ping, destinations);
}

// The rounds of a phase and its END line; false when no round ran. beforeLaterRound, when set,
// runs before every round but the first.
bool runRounds(P2PContext& context, const std::string& serviceName, const PhaseTags& tags,
               const std::string& phase, AbstractConnector& connector, int extraRounds, int remaining,
               const std::function<void()>& beforeLaterRound = {}) {
    const int rounds = extraRounds + 1;
    int round = 0;
    if (rounds > 0) {
        do {
            if (round > 0 && beforeLaterRound) {
                beforeLaterRound();
            }
            connector.connect(context);
            remaining = context.countUnconnectedPeers();
            if (remaining == 0) {
                break;
            }
            ++round;
            Log::debug(serviceName, tags.round, "%1% round %2%: %3% peers still unconnected", phase, round,
                       remaining);
        } while (round < rounds);
    }
    logEnd(context, serviceName, tags, phase, remaining);
    return rounds > 0;
}

}  // namespace

void ConnectivityPass::discoverConnectivity(const std::string& serviceName, bool initialized,
                                            ConnectionServiceData& engines, long clientId,
                                            const std::string& gameId, std::vector<Peer>& peers) {
    Log::debug(serviceName, "discoverConnectivity000",
               "[CHECKPOINT@CONNSVR_P2P_START] INCOMING PEER LIST FOR CLIENT/GAME %1%/%2% = %3%", clientId,
               gameId, peerListText(peers));
    warnAboutWideIds(serviceName, clientId, peers);
    if (!arePreConditionsOk(serviceName, initialized, engines, clientId, gameId)) {
        markPeersForRelay(gameId, peers, serviceName, clientId);
        return;
    }

    Topology& topology = engines.discoveror.getPassTopology();
    int others = 0;
    for (Peer& peer : peers) {
        if (peer.topology.localAddr == topology.localAddr && peer.topology.localPort == topology.localPort) {
            peer.connection = ConnectionType::SELF;
        } else {
            ++others;
        }
    }
    if (others == 0) {
        Log::debug(serviceName, "discoverConnectivity000", "No peers to connect");
        return;
    }
    leaveUnusableEntriesForRelay(serviceName, peers);

    util::Messenger messenger(topology.localAddr, topology.localPort);
    messenger.setName(serviceName + ".messenger");
    if (!messenger.init()) {
        Log::error(serviceName, "discoverConnectivity001", "Could not initialize messenger@%1%:%2%",
                   topology.localAddr, topology.localPort);
        markPeersForRelay(gameId, peers, serviceName, clientId);
        return;
    }
    // Declared after the messenger: when a phase throws, the context's destructor joins the
    // listener before the messenger goes away.
    P2PContext context(clientId, gameId, messenger, peers, topology);
    context.setName(serviceName + ".P2PContext");
    context.init();
    context.setServers(engines.discoveror.getServers());
    if (engines.overlap) {
        // Before the listener starts: a peer's confirm can come before our first ping goes out.
        context.openPrivateWindow();
    }
    context.startListening();
    primePublicPaths(context);

    if (engines.overlap) {
        doConnectOverlapped(context, serviceName, engines);
    } else {
        doConnect(context, serviceName, kPrivatePhase, engines.privateConnector, 0);
        if (context.getTopology().nat.type == NatType::SYMMETRIC) {
            doConnect(context, engines.symNatConnector, serviceName, kSymmetricPhase, engines.discoveror,
                      engines.retries);
        } else {
            doConnect(context, serviceName, kNonSymmetricPhase, engines.natConnector, engines.retries);
        }
    }

    // A context whose init() failed still listens, and shutdown() would not reach its listener.
    context.stopListening();
    context.shutdown();
    messenger.shutdown();
    markPeersForRelay(gameId, peers, serviceName, clientId);
    engines.discoveror.notePass(context.countPublicPingsHeard(),
                                static_cast<int>(std::count_if(peers.begin(), peers.end(), [](const Peer& peer) {
                                    return peer.connection == ConnectionType::DIRECT_PUBLIC;
                                })));
}

bool ConnectivityPass::arePreConditionsOk(const std::string& serviceName, bool initialized,
                                          ConnectionServiceData& engines, long clientId,
                                          const std::string& gameId) {
    if (!initialized) {
        Log::warn(serviceName, "arePreConditionsOk000",
                  "Uninitialized client %1% in game %2%; all peers need relay", clientId, gameId);
        return false;
    }
    engines.discoveror.refreshIfExpired(nullptr);
    if (engines.discoveror.getTopology().isValid()) {
        return true;
    }
    Log::warn(serviceName, "arePreConditionsOk001",
              "Invalid topology for client %1% in game %2%; all peers need relay", clientId, gameId);
    return false;
}

void ConnectivityPass::doConnect(P2PContext& context, const std::string& serviceName,
                                 const std::string& phase, AbstractConnector& connector, int extraRounds) {
    std::vector<Peer> unconnected;
    context.getUnconnectedPeers(unconnected);
    if (unconnected.empty()) {
        return;
    }
    logStart(serviceName, kConnectorTags, phase, unconnected);
    runRounds(context, serviceName, kConnectorTags, phase, connector, extraRounds,
              static_cast<int>(unconnected.size()));
}

void ConnectivityPass::doConnect(P2PContext& context, AbstractConnector& connector,
                                 const std::string& serviceName, const std::string& phase,
                                 Discoveror& discoveror, int extraRounds) {
    std::vector<Peer> unconnected;
    context.getUnconnectedPeers(unconnected);
    if (unconnected.empty()) {
        context.answerHeldPingsNow();
        return;
    }
    logStart(serviceName, kSymmetricTags, phase, unconnected);
    context.setForeignPortRate(discoveror.getMeasurement().foreignPortRate);
    context.setPortProbe([&discoveror] { return discoveror.findLatestPort(); });
    // Measured right before every round announces its ports: a round that missed starts again
    // from where the NAT's counter stands now, whatever other hosts took meanwhile.
    const auto measure = [&] {
        const int latest = discoveror.findLatestPort();
        context.setPublicPort(latest);
        Log::trace(serviceName, "doConnect011", "Latest public port for client behind symmetric NAT is %1%",
                   latest);
    };
    measure();
    const auto measureAgain = [&] {
        try {
            measure();
        } catch (const TARNException& e) {
            // The round repeats the last one's announcements instead.
            Log::debug(serviceName, "doConnect014", "Latest public port not measured again: %1%", e.what());
        }
    };
    if (!runRounds(context, serviceName, kSymmetricTags, phase, connector, extraRounds,
                   static_cast<int>(unconnected.size()), measureAgain)) {
        context.answerHeldPingsNow();
    }
}

void ConnectivityPass::doConnectOverlapped(P2PContext& context, const std::string& serviceName,
                                           ConnectionServiceData& engines) {
    std::vector<Peer> unconnected;
    context.getUnconnectedPeers(unconnected);
    if (unconnected.empty()) {
        context.closePrivateWindow();
        return;
    }
    const bool symmetric = context.getTopology().nat.type == NatType::SYMMETRIC;
    AbstractConnector& connector = symmetric ? static_cast<AbstractConnector&>(engines.symNatConnector)
                                             : static_cast<AbstractConnector&>(engines.natConnector);
    const std::string phase = symmetric ? kSymmetricPhase : kNonSymmetricPhase;
    const PhaseTags& tags = symmetric ? kSymmetricTags : kConnectorTags;
    logStart(serviceName, kConnectorTags, kPrivatePhase, unconnected);
    logStart(serviceName, tags, phase, unconnected);

    int remaining = static_cast<int>(unconnected.size());
    int publicRound = 0;
    for (const OverlapPlan::Round& round :
         OverlapPlan::rounds(std::chrono::milliseconds(engines.privateConnector.getTimeout()),
                             std::chrono::milliseconds(connector.getTimeout()), engines.retries)) {
        std::vector<std::pair<AbstractConnector*, AbstractConnector::Sent>> sent;
        if (round.first) {
            sent.emplace_back(&engines.privateConnector, engines.privateConnector.start(context));
            // Measured after the private pings, which take ports of a symmetric NAT themselves.
            if (symmetric) {
                const int latest = engines.discoveror.findLatestPort();
                context.setPublicPort(latest);
                Log::trace(serviceName, "doConnect011",
                           "Latest public port for client behind symmetric NAT is %1%", latest);
            }
        }
        // The first round's public pings would leave right behind the early primers, and could
        // reach a peer's router that keeps state before the peer's own primers have opened its
        // mapping: they go out as primers too, and for real at the first step. Behind a symmetric
        // NAT a cone peer opens its filter only by answering our relayed ping, which may take it
        // longer: the real pings wait a quarter of the round, as in the documented order.
        AbstractConnector::Sent opened = connector.start(context, round.first);
        if (round.first && symmetric) {
            opened.realFrom = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(connector.getTimeout()) / util::Intervals::kRoundWaitParts;
        }
        sent.emplace_back(&connector, std::move(opened));
        context.releaseHeldPings(false);
        const int timeoutMs = static_cast<int>(round.timeout.count());
        const util::SteppedWait wait =
            round.first ? util::SteppedWait::doubling(round.timeout, util::Intervals::kOverlapFirstStep)
                        : util::SteppedWait(round.timeout, util::Intervals::kRoundWaitParts);
        context.waitFor(connector.getName(), timeoutMs, wait, [&] {
            for (const auto& s : sent) {
                s.first->resend(context, s.second);
            }
            context.releaseHeldPings(false);
        });
        if (round.first) {
            context.closePrivateWindow();
        }
        remaining = context.countUnconnectedPeers();
        // Once every peer is decided no block needs its ports any more: held pings are answered.
        if (remaining == 0) {
            context.answerHeldPingsNow();
        } else {
            context.releaseHeldPings(round.givesUpBlocks);
        }
        if (round.first) {
            logEnd(context, serviceName, kConnectorTags, kPrivatePhase, remaining);
        } else if (remaining > 0) {
            Log::debug(serviceName, tags.round, "%1% round %2%: %3% peers still unconnected", phase,
                       ++publicRound, remaining);
        }
        if (remaining == 0) {
            break;
        }
    }
    logEnd(context, serviceName, tags, phase, remaining);
}

void ConnectivityPass::markPeersForRelay(const std::string& gameId, std::vector<Peer>& peers,
                                         const std::string& serviceName, long clientId) {
    std::size_t total = peers.size();
    int relays = 0;
    for (Peer& peer : peers) {
        if (peer.identifier == clientId) {
            peer.connection = ConnectionType::SELF;
            --total;
        } else if (peer.connection == ConnectionType::NONE) {
            peer.connection = ConnectionType::RELAY;
            ++relays;
        }
    }
    Log::debug(serviceName, "markPeersForRelay",
               "[CHECKPOINT@CONNSVR_P2P_END] UDP RELAY USAGE = %1% of %2% PEER(S); FINAL PEER LIST FOR "
               "CLIENT/GAME %3%/%4% = %5%",
               relays, total, clientId, gameId, peerListText(peers));
}

std::string ConnectivityPass::peerListText(const std::vector<Peer>& peers) {
    return Log::listText(peers);
}

}  // namespace tarn::client::impl::service::connection
