#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "tarn/client/impl/service/connection/P2PContext.h"
#include "tarn/client/impl/util/ManualClock.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/client/impl/util/SteadyClock.h"

namespace tarn::test::connection {

// A P2P context on 127.0.0.1 in a working directory of its own; the test fills peers and own,
// then calls makeContext. server is a UDP peer that plays the first rendezvous server. A test that
// steps time calls useManualClock first: the context then runs on manual, while the messenger keeps
// steady time, so that the listener's turns never step the pass's clock.
class ContextFixture : public ::testing::Test {
protected:
    static constexpr const char* kGame = "g1";

    void SetUp() override {
        work.reset(new WorkDir);
        server.reset(new UdpPeer("127.0.0.2"));
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

    // A new context of this client in this game over the peers and the own topology; what its
    // init() returned.
    bool makeContext(long clientId = 1, const char* game = kGame) {
        context.reset(new tarn::client::impl::service::connection::P2PContext(clientId, game, *local, peers,
                                                                              own, *clock));
        context->setName("test.P2PContext");
        context->setServers({server->local()});
        return context->init();
    }

    void useManualClock() { clock = &manual; }
    // The time passed on the manual clock since start.
    long long manualMsSince(tarn::client::impl::util::Clock::TimePoint start) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(manual.now() - start).count();
    }

    tarn::client::impl::util::ManualClock manual;
    tarn::client::impl::util::Clock* clock = &tarn::client::impl::util::SteadyClock::instance();
    std::unique_ptr<WorkDir> work;
    std::unique_ptr<UdpPeer> server;
    std::unique_ptr<tarn::client::impl::util::Messenger> local;
    Topology own;
    std::vector<Peer> peers;
    std::unique_ptr<tarn::client::impl::service::connection::P2PContext> context;
};

}  // namespace tarn::test::connection
