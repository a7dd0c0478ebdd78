#pragma once

#include <memory>
#include <string>

#include <tarn/tarn_client.h>
#include <boost/program_options/options_description.hpp>
#include <nlohmann/json.hpp>

#include "EmbeddedRendezvous.h"

namespace tarn {
namespace probe {

// Where the library finds the rendezvous service for one run: tarn.cfg, overridden by --server
// and --ports, or, when nothing names a server, the project's own server started for the run.
class RendezvousSelection {
public:
    // The configuration keys of the rendezvous service's two addresses and ports.
    static constexpr const char* kAddr1Key = "tarn.addr.1";
    static constexpr const char* kAddr2Key = "tarn.addr.2";
    static constexpr const char* kPort1Key = "tarn.port.1";
    static constexpr const char* kPort2Key = "tarn.port.2";

    RendezvousSelection();
    ~RendezvousSelection();
    RendezvousSelection(const RendezvousSelection&) = delete;
    RendezvousSelection& operator=(const RendezvousSelection&) = delete;

    // Adds --server ADDR1,ADDR2 and --ports P1,P2 to a command's options.
    void addOptions(boost::program_options::options_description& options);
    // Checks the values given; false with the reason when they are a usage error.
    bool validate(std::string& error);
    // Writes the overrides into the configuration, before the library's connection service is
    // first used, and starts the embedded server when no address is configured anywhere.
    // Throws std::runtime_error when that server cannot be started.
    void apply(client::Configurator& config);

    bool isEmbedded() const { return embedded != nullptr; }
    // The sentence that tells the user about the embedded server; empty without one.
    std::string notice() const;
    // The four configuration values as the library used them, and whether they are embedded.
    nlohmann::ordered_json json(client::Configurator& config) const;

private:
    std::string serverOption;
    std::string portsOption;
    std::string addresses[2];
    int ports[2];
    std::unique_ptr<EmbeddedRendezvous> embedded;
};

}  // namespace probe
}  // namespace tarn
