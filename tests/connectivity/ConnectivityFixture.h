#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "P2PTestSupport.h"
#include "tarn/client/impl/service/connection/ConnectionServiceData.h"
#include "tarn/server/Server.h"

namespace p2ptest {

// The project's rendezvous server in this process, on 127.0.0.1 and 127.0.0.2 with ports the
// system picks; started on first use and kept until the process ends.
inline tarn::server::Server& rendezvous() {
    static const std::unique_ptr<tarn::server::Server> server = [] {
        tarn::server::ServerConfig settings;
        settings.addr1 = "127.0.0.1";
        settings.addr2 = "127.0.0.2";
        settings.port1 = 0;
        settings.port2 = 0;
        settings.threads = 1;
        settings.statsIntervalSeconds = 0;
        std::unique_ptr<tarn::server::Server> started(new tarn::server::Server(settings));
        started->start();
        return started;
    }();
    return *server;
}

// Points the library at the in-process rendezvous server, with short discovery waits and rounds.
inline void useRendezvous() {
    const auto& servers = rendezvous().endpoints();
    configure("tarn.addr.1", servers[0].address().to_string());
    configure("tarn.port.1", std::to_string(servers[0].port()));
    configure("tarn.addr.2", servers[3].address().to_string());
    configure("tarn.port.2", std::to_string(servers[3].port()));
    configure("tarn.timeout.discovery", "200");
    configure("tarn.timeout.private", "100");
    configure("tarn.timeout.nat", "100");
    configure("tarn.timeout.nat.sym", "100");
}

// One client of a game in this process: its own discovery engine and connectors, initialized
// and with a discovered topology, as the connection service holds them.
class Client {
public:
    explicit Client(const std::string& name) : name(name) {
        engines.discoveror.setName(name + ".discoveror");
        engines.privateConnector.setName(name + ".connector.private");
        engines.natConnector.setName(name + ".connector.nat");
        engines.symNatConnector.setName(name + ".connector.nat.sym");
    }

    ~Client() {
        engines.discoveror.shutdown();
        engines.privateConnector.shutdown();
        engines.natConnector.shutdown();
        engines.symNatConnector.shutdown();
    }

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Brings the engines up and runs a full discovery; false when any of that failed.
    bool start() {
        if (!engines.discoveror.init() || !engines.privateConnector.init() || !engines.natConnector.init() ||
            !engines.symNatConnector.init()) {
            return false;
        }
        engines.discoveror.doMajorDiscovery();
        return engines.discoveror.getTopology().isValid();
    }

    Topology& topology() { return engines.discoveror.getTopology(); }

    tarn::client::impl::service::connection::ConnectionServiceData engines;
    const std::string name;
};

}  // namespace p2ptest
