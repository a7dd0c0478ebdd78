#include "tarn/client/impl/service/connection/AbstractConnector.h"

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
    context.releaseHeldPings();
    context.waitFor(getName(), getTimeout());
}

bool AbstractConnector::doInit() {
    return doConnectorInit();
}

void AbstractConnector::doShutdown() {
    doConnectorShutdown();
}

}  // namespace tarn::client::impl::service::connection
