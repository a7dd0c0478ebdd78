#include "tarn/client/impl/service/connection/ConnectivityPass.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <utility>

#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/AbstractConnector.h"
#include "tarn/client/impl/service/connection/ConnectionServiceData.h"
#include "tarn/client/impl/service/connection/Discoveror.h"
#include "tarn/client/impl/service/connection/P2PContext.h"
#include "tarn/client/impl/service/connection/PassLimits.h"
#include "tarn/client/impl/service/connection/PassPlan.h"
#include "tarn/client/impl/service/connection/WaitRules.h"
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
// Returns the indices of the entries it left for the relay.
std::vector<std::size_t> leaveUnusableEntriesForRelay(const std::string& serviceName, std::vector<Peer>& peers) {
    std::vector<std::size_t> left;
    for (std::size_t index = 0; index < peers.size(); ++index) {
        Peer& peer = peers[index];
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
        left.push_back(index);
    }
    return left;
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

// The pass's round waits from the round trip to the rendezvous service (WaitRules). The
// documented order keeps its configured rounds while they are long enough and says once per
// service when a public round outgrew its configured wait; the private round of the documented
// order stays as configured, since the private network does not lie on the path measured.
PassPlan::Settings passWaits(const std::string& serviceName, ConnectionServiceData& engines,
                             AbstractConnector& publicConnector) {
    const util::RttEstimator& rtt = engines.discoveror.getServerRtt();
    const std::chrono::milliseconds privateConfigured = engines.privateConnector.getTimeout();
    const std::chrono::milliseconds publicConfigured = publicConnector.getTimeout();
    const WaitRules::Order order =
        engines.overlap ? WaitRules::Order::OVERLAPPED : WaitRules::Order::DOCUMENTED;
    const PassPlan::Settings waits{
        engines.overlap ? WaitRules::roundWait(rtt, privateConfigured, order) : privateConfigured,
        WaitRules::roundWait(rtt, publicConfigured, order), engines.retries};
    const auto rttMs = std::chrono::duration_cast<std::chrono::milliseconds>(rtt.smoothed()).count();
    Log::debug(
        serviceName, "passWaits000",
        "Round trip to the rendezvous service %1% ms, varying by %2% ms (%3% samples): rounds of %4% ms, "
        "the first %5% ms",
        rttMs, std::chrono::duration_cast<std::chrono::milliseconds>(rtt.variation()).count(), rtt.count(),
        waits.publicTimeout.count(), waits.privateTimeout.count());
    if (order == WaitRules::Order::DOCUMENTED && waits.publicTimeout > publicConfigured &&
        !engines.roundGrowthNoted) {
        engines.roundGrowthNoted = true;
        Log::warn(
            serviceName, "passWaits001",
            "The round trip to the rendezvous service (%1% ms) puts peers about %2% ms away, beyond the "
            "configured round of %3% ms: public rounds wait %4% ms",
            rttMs, WaitRules::kPeerPathFactor * rttMs, publicConfigured.count(), waits.publicTimeout.count());
    }
    return waits;
}

const char* phaseText(PassPlan::Phase phase) {
    switch (phase) {
        case PassPlan::Phase::PRIVATE:
            return kPrivatePhase;
        case PassPlan::Phase::PUBLIC_SYMMETRIC:
            return kSymmetricPhase;
        default:
            return kNonSymmetricPhase;
    }
}

const PhaseTags& phaseTags(PassPlan::Phase phase) {
    return phase == PassPlan::Phase::PUBLIC_SYMMETRIC ? kSymmetricTags : kConnectorTags;
}

// Stores the latest port the NAT gives a fresh socket for the round's prediction. FIRST lets a
// failure end the pass; AGAIN logs it and the round repeats the last one's announcements.
void measureLatestPort(P2PContext& context, const std::string& serviceName, Discoveror& discoveror,
                       PassPlan::Measure measure) {
    if (measure == PassPlan::Measure::NONE) {
        return;
    }
    try {
        // The binding request leaves from a socket of its own at a moment between these two slots,
        // so that the burst bound counts it against the batches before and after it.
        context.paced(1, [] {});
        const int latest = discoveror.findLatestPort();
        context.paced(1, [] {});
        context.setPublicPort(latest);
        Log::trace(serviceName, "doConnect011", "Latest public port for client behind symmetric NAT is %1%",
                   latest);
    } catch (const TARNException& e) {
        if (measure == PassPlan::Measure::FIRST) {
            throw;
        }
        Log::debug(serviceName, "doConnect014", "Latest public port not measured again: %1%", e.what());
    }
}

// One round of the plan: its pings, its wait with the resends between the steps, and the held
// relayed pings answered as the schedule allows.
void runRound(P2PContext& context, ConnectionServiceData& engines, AbstractConnector& publicConnector,
              const std::string& serviceName, const PassPlan::Step& step) {
    const PassPlan::Round& round = step.round;
    std::vector<std::pair<AbstractConnector*, AbstractConnector::Sent>> sent;
    if (round.pingsPrivate) {
        sent.emplace_back(&engines.privateConnector, engines.privateConnector.start(context));
    }
    measureLatestPort(context, serviceName, engines.discoveror, round.measure);
    if (round.pingsPublic) {
        AbstractConnector::Sent opened = publicConnector.start(context, round.primesPublic);
        if (round.realAfter.count() > 0) {
            opened.realFrom = context.getClock().now() + round.realAfter;
        }
        sent.emplace_back(&publicConnector, std::move(opened));
    }
    // Only now may answers to held relayed pings take new ports of a symmetric NAT.
    context.releaseHeldPings(false);
    AbstractConnector& waiting =
        step.phase == PassPlan::Phase::PRIVATE ? static_cast<AbstractConnector&>(engines.privateConnector)
                                               : publicConnector;
    const util::SteppedWait wait =
        round.doublingWait
            ? util::SteppedWait::doubling(context.getClock(), round.timeout,
                                          util::Intervals::kOverlapFirstStep)
            : util::SteppedWait(context.getClock(), round.timeout, util::Intervals::kRoundWaitParts);
    context.waitFor(waiting.getName(), wait, [&] {
        for (const auto& s : sent) {
            s.first->resend(context, s.second);
        }
        context.releaseHeldPings(false);
    });
    if (round.closesPrivateWindow) {
        context.closePrivateWindow();
    }
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
    const std::vector<std::size_t> unusable = leaveUnusableEntriesForRelay(serviceName, peers);

    util::Messenger messenger(topology.localAddr, topology.localPort, engines.clock);
    messenger.setName(serviceName + ".messenger");
    if (!messenger.init()) {
        Log::error(serviceName, "discoverConnectivity001", "Could not initialize messenger@%1%:%2%",
                   topology.localAddr, topology.localPort);
        markPeersForRelay(gameId, peers, serviceName, clientId, unusable);
        return;
    }
    // Declared after the messenger: when a phase throws, the context's destructor joins the
    // listener before the messenger goes away.
    P2PContext context(clientId, gameId, messenger, peers, topology, engines.clock);
    context.setName(serviceName + ".P2PContext");
    context.init();
    context.setServers(engines.discoveror.getServers());
    if (engines.overlap) {
        // Before the listener starts: a peer's confirm can come before our first ping goes out.
        context.openPrivateWindow();
    }
    context.startListening();
    primePublicPaths(context);

    connectPeers(context, serviceName, engines);

    // A context whose init() failed still listens, and shutdown() would not reach its listener.
    context.stopListening();
    context.shutdown();
    messenger.shutdown();
    markPeersForRelay(gameId, peers, serviceName, clientId, unusable);
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

void ConnectivityPass::connectPeers(P2PContext& context, const std::string& serviceName,
                                    ConnectionServiceData& engines) {
    const NatType ownNat = context.getTopology().nat.type;
    const bool symmetric = ownNat == NatType::SYMMETRIC;
    AbstractConnector& publicConnector = symmetric ? static_cast<AbstractConnector&>(engines.symNatConnector)
                                                   : static_cast<AbstractConnector&>(engines.natConnector);
    if (symmetric) {
        Discoveror& discoveror = engines.discoveror;
        context.setForeignPortRate(discoveror.getMeasurement().foreignPortRate);
        context.setPortProbe([&discoveror] { return discoveror.probeLatestPort(); });
    }
    const PassPlan::Settings settings = passWaits(serviceName, engines, publicConnector);

    // The phases whose START line is written and whose END line is not yet, in order.
    std::vector<PassPlan::Phase> open;
    std::map<PassPlan::Phase, int> roundLines;
    int remaining = 0;
    bool publicRoundRan = false;
    const auto endPhase = [&](PassPlan::Phase phase) {
        const auto found = std::find(open.begin(), open.end(), phase);
        if (found != open.end()) {
            logEnd(context, serviceName, phaseTags(phase), phaseText(phase), remaining);
            open.erase(found);
        }
    };
    for (const PassPlan::Step& step : PassPlan::rounds(engines.overlap, ownNat, settings)) {
        if (step.kind == PassPlan::Step::Kind::START) {
            std::vector<Peer> unconnected;
            context.getUnconnectedPeers(unconnected);
            // Nobody becomes unconnected again during a pass: nothing is left for any phase.
            if (unconnected.empty()) {
                break;
            }
            logStart(serviceName, phaseTags(step.phase), phaseText(step.phase), unconnected);
            remaining = static_cast<int>(unconnected.size());
            open.push_back(step.phase);
            continue;
        }
        if (step.kind == PassPlan::Step::Kind::END) {
            endPhase(step.phase);
            continue;
        }
        runRound(context, engines, publicConnector, serviceName, step);
        publicRoundRan = publicRoundRan || step.round.pingsPublic;
        remaining = context.countUnconnectedPeers();
        // Once every peer is decided no block needs its ports any more.
        context.releaseHeldPings(step.round.givesUpBlocks || remaining == 0);
        if (remaining == 0) {
            while (!open.empty()) {
                endPhase(open.front());
            }
            break;
        }
        if (step.round.roundLine) {
            Log::debug(serviceName, phaseTags(step.phase).round, "%1% round %2%: %3% peers still unconnected",
                       phaseText(step.phase), ++roundLines[step.phase], remaining);
        }
    }
    std::string cuts;
    const int cut = context.countCuts(cuts);
    if (cut > 0) {
        Log::debug(serviceName, "connectPeers", "The send limits cut the pass short %1% times: %2%", cut, cuts);
    }
    context.closePrivateWindow();
    if (remaining > 0) {
        context.awaitConfirmations(WaitRules::confirmWait(engines.discoveror.getServerRtt()));
    }
    // Held relayed pings that no public round will answer are answered now; behind a cone NAT
    // nothing is held.
    if (!publicRoundRan || remaining == 0) {
        context.answerHeldPingsNow();
    }
}

void ConnectivityPass::markPeersForRelay(const std::string& gameId, std::vector<Peer>& peers,
                                         const std::string& serviceName, long clientId,
                                         const std::vector<std::size_t>& leftForRelay) {
    std::size_t total = peers.size();
    int relays = 0;
    for (std::size_t index = 0; index < peers.size(); ++index) {
        Peer& peer = peers[index];
        if (peer.identifier == clientId) {
            peer.connection = ConnectionType::SELF;
            --total;
        } else if (peer.connection == ConnectionType::NONE) {
            peer.connection = ConnectionType::RELAY;
            ++relays;
        } else if (peer.connection == ConnectionType::RELAY &&
                   std::find(leftForRelay.begin(), leftForRelay.end(), index) != leftForRelay.end()) {
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
