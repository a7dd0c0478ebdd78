#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/service/connection/SymmetricConnector.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/connection/BlockSchedule.h"
#include "tarn/client/impl/service/connection/P2PContext.h"
#include "tarn/client/impl/service/connection/PortPlan.h"
#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

struct SymmetricConnectorSettings {
    // Wait of one round.
    std::chrono::milliseconds timeout{500};
    // How many own public ports are predicted per round.
    std::int32_t candidates = 30;
    // The first rendezvous server, asked to relay our ping.
    Network::Endpoint server;
};

SymmetricConnector::SymmetricConnector() : settings(new SymmetricConnectorSettings) {}

SymmetricConnector::~SymmetricConnector() = default;

void SymmetricConnector::getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) {
    pending.clear();
    std::vector<Peer> peers;
    context.getUnconnectedPeers(peers);
    if (peers.empty()) {
        return;
    }
    const Topology own = context.getTopology();
    // Other hosts behind our NAT take ports until a block is used: the pass answers a relayed ping
    // at the wait step after it comes, so a block starts where the counter most likely stands then.
    const double rate = std::max(0.0, context.getForeignPortRate());
    const std::chrono::duration<double> step = settings->timeout / util::Intervals::kRoundWaitParts;
    const BlockSchedule& schedule = context.getBlockSchedule(
        settings->candidates, PortPlan::leadFor(rate * step.count(), settings->candidates));
    Network::Endpoint ownPublic;
    Network::initEndpoint(own.publicAddr, 0, ownPublic);
    const auto ownEndpoints = [&ownPublic](const std::vector<int>& ports) {
        EndpointList endpoints;
        for (const int port : ports) {
            Network::Endpoint predicted;
            Network::initEndpoint(ownPublic.address().to_v4(), port, predicted);
            endpoints.push_back(predicted);
        }
        return endpoints;
    };
    // The NAT hands out ports in steps of the increment: the next mappings it creates should lie
    // just above the latest port it gave a fresh socket, the direct pings' first. Later rounds
    // ping where the first did, through the mappings it made.
    const int latest = context.getPublicPort();
    targets = ownEndpoints(schedule.conePorts(context.getPhasePort(), own.nat.increment));

    EndpointList relayed;
    for (const Peer& peer : peers) {
        Network::Endpoint endpoint;
        Network::initEndpoint(peer.topology.publicAddr, peer.topology.publicPort, endpoint);
        // A peer behind a symmetric NAT never answers at its known public port: only the relayed
        // ping, which makes it answer at our predicted ports, can reach it. It learns the ports
        // of its own block.
        const int block = schedule.blockOf(peer.identifier, peer.topology.localAddr);
        if (block >= 0) {
            pending.push_back({{endpoint},
                               ownEndpoints(schedule.blockPorts(static_cast<std::size_t>(block), latest,
                                                                own.nat.increment))});
            continue;
        }
        if (peer.topology.nat.type != NatType::SYMMETRIC && peer.topology.nat.type != NatType::UNKNOWN) {
            dests.push_back(endpoint);
        }
        relayed.push_back(endpoint);
    }
    if (!relayed.empty()) {
        pending.push_back({relayed, targets});
    }
}

void SymmetricConnector::afterPings(P2PContext& context) {
    for (const RelayRequest& relay : pending) {
        gen::Content request;
        context.prepareMessage(request, gen::Content::PING_RELAY, relay.peers);
        for (const auto& port : relay.ownPorts) {
            gen::addAddress(request, gen::Attribute::XOR_REFLECTED_FROM, port, true);
        }
        context.paced(1, [&] { context.getMessenger().send(request, settings->server); });
        Log::debug(getName(), "getDestinations", "Sent %1% message to %2%; need relay to %3%",
                   gen::typeName(gen::Content::PING_RELAY), settings->server,
                   Network::endpointsToString(relay.peers));
    }
    pending.clear();
}

bool SymmetricConnector::primesFirst() const {
    return true;
}

std::chrono::milliseconds SymmetricConnector::getTimeout() {
    return settings->timeout;
}

bool SymmetricConnector::doConnectorInit() {
    Configurator& configurator = ServiceRegistry::instance().getConfigurator();
    using configurator::Settings;
    settings->timeout = Settings::kTimeoutNatSym.milliseconds(configurator);
    settings->candidates =
        static_cast<int>(Settings::kCandidateAddrs.clamped(configurator, getName(), "doConnectorInit001"));
    const std::string address = Settings::kAddr1.text(configurator);
    const int port = static_cast<int>(Settings::kPort1.peek(configurator));
    try {
        Network::initEndpoint(address, port, settings->server);
    } catch (const TARNException& e) {
        Log::error(getName(), "doConnectorInit", e.what());
        return false;
    }
    return true;
}

void SymmetricConnector::doConnectorShutdown() {}

}  // namespace tarn::client::impl::service::connection
