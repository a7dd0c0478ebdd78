#pragma once

#include <string>

#include <tarn/tarn_client.h>

#include "RendezvousSelection.h"

namespace tarn {
namespace probe {

// The steps every subcommand starts with: point the library at the rendezvous service, then
// discover the topology and send its report.
class ProbeDiscovery {
public:
    // The user id of the report when none is given.
    static const char* const kDefaultUserId;
    // What --fast does, for the commands' help.
    static const char* const kFastHelp;

    // --fast: discovery and the connectivity pass run their steps overlapped
    // (tarn.discovery.overlap and tarn.connect.overlap set to 1), before the library reads them.
    static void useFastMode(client::Configurator& config);

    // Applies the selection to the configuration, starting the embedded server when no service is
    // configured. SUCCESS, or UNREACHABLE with error set when the embedded server can't start.
    static int useRendezvous(RendezvousSelection& rendezvous, client::Configurator& config,
                             std::string& error);
    // Runs notifyLattice and copies the resulting topology out, also when the library throws.
    // SUCCESS; UNREACHABLE when no local address got an answer (the search then runs only once);
    // FAILED, with error set, when the topology is not valid or the report was not delivered.
    static int discover(lattice::TARNWrapper& tarn, const std::string& userId, client::Topology& topology,
                        std::string& error);
};

}  // namespace probe
}  // namespace tarn
