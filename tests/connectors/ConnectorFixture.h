#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "P2PTestSupport.h"
#include "tarn/client/impl/service/connection/AbstractConnector.h"
#include "tarn/client/impl/service/connection/P2PContext.h"

namespace p2ptest {

// A context of client 1 on 127.0.0.1 for connector rounds; the test fills peers and own, then
// calls makeContext. server is a socket that plays the first rendezvous server.
class ConnectorFixture : public ::testing::Test {
protected:
    static constexpr const char* kGame = "g1";
    using EndpointList = tarn::client::impl::service::connection::AbstractConnector::EndpointList;

    void SetUp() override {
        work.reset(new WorkDir);
        server.reset(new Socket("127.0.0.2"));
        configure("tarn.addr.1", "127.0.0.2");
        configure("tarn.port.1", std::to_string(server->port()));
        local.reset(new tarn::client::impl::util::Messenger("127.0.0.1", 0));
        local->setName("test.local");
        ASSERT_TRUE(local->init());
        own = topology(NatType::NONE, "127.0.0.1", local->getLocalEndpoint().port(), "127.0.0.1",
                       local->getLocalEndpoint().port());
    }

    void TearDown() override {
        context.reset();
        local->shutdown();
    }

    void makeContext() {
        context.reset(new tarn::client::impl::service::connection::P2PContext(1, kGame, *local, peers, own));
        context->setName("test.P2PContext");
        context->init();
    }

    // Sends a BIND_REQ from our socket: whatever a round sent to that endpoint arrives before it,
    // so a test that finds the marker first knows the round sent nothing there.
    void sendMarker(const boost::asio::ip::udp::endpoint& to) {
        tarn::generated::Content marker;
        marker.set_type(tarn::generated::Content::BIND_REQ);
        local->send(marker, to);
    }

    template <typename Connector>
    void initConnector(Connector& connector) {
        connector.setName("test.connector");
        ASSERT_TRUE(connector.init());
    }

    std::unique_ptr<WorkDir> work;
    std::unique_ptr<Socket> server;
    std::unique_ptr<tarn::client::impl::util::Messenger> local;
    Topology own;
    std::vector<Peer> peers;
    std::unique_ptr<tarn::client::impl::service::connection::P2PContext> context;
};

}  // namespace p2ptest
