#include "ProbeDiscovery.h"

#include <exception>

#include "Command.h"

namespace tarn {
namespace probe {

namespace {
// What a topology holds while no local binding has been found.
const char* const UNBOUND_ADDRESS = "0.0.0.0";
}  // namespace

const char* const ProbeDiscovery::DEFAULT_USER_ID = "tarn-probe";
const char* const ProbeDiscovery::FAST_HELP =
    "overlap the steps of discovery and of connecting (sets tarn.discovery.overlap=1 and "
    "tarn.connect.overlap=1)";

void ProbeDiscovery::useFastMode(client::Configurator& config) {
    config.setValue("tarn.discovery.overlap", "1");
    config.setValue("tarn.connect.overlap", "1");
}

int ProbeDiscovery::useRendezvous(RendezvousSelection& rendezvous, client::Configurator& config,
                                  std::string& error) {
    try {
        rendezvous.apply(config);
        return kSuccess;
    } catch (const std::exception& e) {
        error = std::string("cannot start the embedded rendezvous server: ") + e.what();
        return kUnreachable;
    }
}

int ProbeDiscovery::discover(lattice::TARNWrapper& tarn, const std::string& userId,
                             client::Topology& topology, std::string& error) {
    try {
        // The connection service initializes in notifyLattice, on first use: the search for a
        // local address that the rendezvous service answers. Its topology object lives as long as
        // the library.
        const bool delivered = tarn.notifyLattice(userId);
        const client::Topology& current = tarn.getCurrentTopology();
        topology = current;
        if (current.localAddr == UNBOUND_ADDRESS) {
            client::Configurator& config = tarn.getConfigurator();
            error = "the rendezvous service at " + config.getString(RendezvousSelection::ADDR1_KEY) + ":" +
                    config.getString(RendezvousSelection::PORT1_KEY) +
                    " did not answer from any local address (see tarn.log)";
            return kUnreachable;
        }
        if (!delivered || !current.isValid()) {
            error = "discovery failed: no valid topology was reported (see tarn.log)";
            return kFailed;
        }
        return kSuccess;
    } catch (const std::exception& e) {
        error = std::string("the library failed: ") + e.what();
        return kFailed;
    }
}

}  // namespace probe
}  // namespace tarn
