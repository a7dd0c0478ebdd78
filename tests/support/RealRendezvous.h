#pragma once

#include <memory>
#include <string>

#include "tarn/client/Configurator.h"
#include "tarn/server/Server.h"

namespace tarn {
namespace test {

// The project's rendezvous server, run inside the test process on 127.0.0.1 and 127.0.0.2 with
// ports the system picks, so that tests running side by side never collide.
class RealRendezvous {
public:
    RealRendezvous() {
        server::ServerConfig config;
        config.addr1 = "127.0.0.1";
        config.addr2 = "127.0.0.2";
        config.port1 = 0;
        config.port2 = 0;
        config.threads = 1;
        config.statsIntervalSeconds = 0;
        instance.reset(new server::Server(config));
        bound = instance->endpoints();
        instance->start();
    }

    ~RealRendezvous() { stop(); }

    RealRendezvous(const RealRendezvous&) = delete;
    RealRendezvous& operator=(const RealRendezvous&) = delete;

    // Ends the service early: requests are met by silence from then on.
    void stop() {
        if (instance) {
            instance->stop();
            instance.reset();
        }
    }

    // S1 to S4; kept after stop(), so that the configuration can still name the now silent ones.
    const server::Server::Endpoints& endpoints() const { return bound; }
    int port1() const { return bound[0].port(); }
    int port2() const { return bound[1].port(); }

    // Points the client's configuration at this server.
    void configure(client::Configurator& config) const {
        config.setValue("tarn.addr.1", "127.0.0.1");
        config.setValue("tarn.addr.2", "127.0.0.2");
        config.setValue("tarn.port.1", std::to_string(port1()));
        config.setValue("tarn.port.2", std::to_string(port2()));
    }

    // Points the client at this server and keeps its discovery waits short.
    void configureClient(client::Configurator& config) const {
        configure(config);
        config.setValue("tarn.timeout.discovery", "200");
    }

private:
    std::unique_ptr<server::Server> instance;
    server::Server::Endpoints bound;
};

}  // namespace test
}  // namespace tarn
