#include "tarn/client/impl/service/connection/AbstractConnector.h"

#include <algorithm>

#include "tarn/client/impl/service/connection/P2PContext.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

AbstractConnector::~AbstractConnector() = default;

void AbstractConnector::connect(P2PContext& context) {
    checkInitialized(getName(), "connect");
    EndpointList dests;
    EndpointList targets;
    getDestinations(dests, targets, context);
    gen::Content ping;
    context.prepareMessage(ping, gen::Content::PING_DIRECT, targets);
    if (!dests.empty()) {
        context.getMessenger().send(ping, dests);
    }
    // Only now may answers to held relayed pings take new ports of a symmetric NAT.
    context.releaseHeldPings(false);
    context.waitFor(getName(), getTimeout(), [&] {
        resend(context, dests, ping);
        context.releaseHeldPings(false);
    });
    context.releaseHeldPings(true);
}

void AbstractConnector::resend(P2PContext& context, const EndpointList& used, const gen::Content& ping) {
    EndpointList dests;
    EndpointList targets;
    // The destinations of the peers still unreached; the symmetric connector also repeats its
    // relay request to the same server.
    getDestinations(dests, targets, context);
    // Behind a symmetric NAT a destination new to this round would take one of the predicted ports.
    dests.erase(std::remove_if(dests.begin(), dests.end(),
                               [&used](const Endpoint& dest) {
                                   return std::find(used.begin(), used.end(), dest) == used.end();
                               }),
                dests.end());
    if (!dests.empty()) {
        context.getMessenger().send(ping, dests);
    }
}

bool AbstractConnector::doInit() {
    return doConnectorInit();
}

void AbstractConnector::doShutdown() {
    doConnectorShutdown();
}

}  // namespace tarn::client::impl::service::connection
