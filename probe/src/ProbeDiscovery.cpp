#include "ProbeDiscovery.h"

#include <exception>

#include "Command.h"

namespace tarn {
namespace probe {

namespace {
// What a topology holds while no local binding has been found.
const char* const kUnboundAddress = "0.0.0.0";
}  // namespace

const char* const ProbeDiscovery::kDefaultUserId = "tarn-probe";
const char* const ProbeDiscovery::kFastHelp =
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
        return SUCCESS;
    } catch (const std::exception& e) {
        error = std::string("cannot start the embedded rendezvous server: ") + e.what();
        return UNREACHABLE;
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
        if (current.localAddr == kUnboundAddress) {
            client::Configurator& config = tarn.getConfigurator();
            error = "the rendezvous service at " + config.getString(RendezvousSelection::kAddr1Key) + ":" +
                    config.getString(RendezvousSelection::kPort1Key) +
                    " did not answer from any local address (see tarn.log)";
            return UNREACHABLE;
        }
        if (!delivered || !current.isValid()) {
            error = "discovery failed: no valid topology was reported (see tarn.log)";
            return FAILED;
        }
        return SUCCESS;
    } catch (const std::exception& e) {
        error = std::string("the library failed: ") + e.what();
        return FAILED;
    }
}

}  // namespace probe
}  // namespace tarn
