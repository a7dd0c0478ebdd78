#include "tarn/client/impl/service/connection/AbstractConnector.h"

#include <algorithm>

#include "tarn/client/impl/service/connection/P2PContext.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

AbstractConnector::~AbstractConnector() = default;

void AbstractConnector::connect(P2PContext& context) {
    const Sent sent = start(context);
    // Only now may answers to held relayed pings take new ports of a symmetric NAT.
    context.releaseHeldPings(false);
    context.waitFor(getName(), getTimeout(), [&] {
        resend(context, sent);
        context.releaseHeldPings(false);
    });
    context.releaseHeldPings(true);
}

AbstractConnector::Sent AbstractConnector::start(P2PContext& context, bool primeFirst) {
    checkInitialized(getName(), "connect");
    Sent sent;
    EndpointList targets;
    getDestinations(sent.dests, targets, context);
    context.prepareMessage(sent.ping, gen::Content::PING_DIRECT, targets);
    if (primeFirst || primesFirst()) {
        context.sendPrimers(sent.ping, sent.dests);
    } else if (!sent.dests.empty()) {
        context.paced(static_cast<int>(sent.dests.size()),
                      [&] { context.getMessenger().send(sent.ping, sent.dests); });
    }
    afterPings(context);
    return sent;
}

void AbstractConnector::resend(P2PContext& context, const Sent& sent) {
    EndpointList dests;
    EndpointList targets;
    // The destinations of the peers still unreached; the symmetric connector also repeats its
    // relay requests to the same server, after the pings.
    getDestinations(dests, targets, context);
    // Behind a symmetric NAT a destination new to this round would take one of the predicted ports.
    const EndpointList& used = sent.dests;
    dests.erase(std::remove_if(dests.begin(), dests.end(),
                               [&used](const Endpoint& dest) {
                                   return std::find(used.begin(), used.end(), dest) == used.end();
                               }),
                dests.end());
    if (!dests.empty() && context.getClock().now() >= sent.realFrom) {
        context.paced(static_cast<int>(dests.size()), [&] { context.getMessenger().send(sent.ping, dests); });
    }
    afterPings(context);
}

void AbstractConnector::afterPings(P2PContext& /*context*/) {}

bool AbstractConnector::primesFirst() const {
    return false;
}

bool AbstractConnector::doInit() {
    return doConnectorInit();
}

void AbstractConnector::doShutdown() {
    doConnectorShutdown();
}

}  // namespace tarn::client::impl::service::connection
