#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectionTestSupport.h"
#include "RealRendezvous.h"
#include "tarn/client/impl/service/connection/ConnectionServiceData.h"

namespace tarn::test::connection {

// The project's rendezvous server in this process; started on first use and kept until the
// process ends.
inline tarn::test::RealRendezvous& rendezvous() {
    static tarn::test::RealRendezvous server;
    return server;
}

// Points the library at the in-process rendezvous server, with short discovery waits and rounds.
inline void useRendezvous() {
    rendezvous().configureClient(config());
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

}  // namespace tarn::test::connection
