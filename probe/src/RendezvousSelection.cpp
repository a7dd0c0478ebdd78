#include "RendezvousSelection.h"

#include <vector>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/program_options/value_semantic.hpp>

namespace tarn {
namespace probe {

namespace {

// The ports the library uses when none is configured.
const int kDefaultPort1 = 13434;
const int kDefaultPort2 = 13435;

// "a,b" into exactly two non-empty, trimmed parts.
bool splitPair(const std::string& text, std::string parts[2]) {
    std::vector<std::string> found;
    boost::algorithm::split(found, text, [](char c) { return c == ','; });
    if (found.size() != 2) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        parts[i] = boost::algorithm::trim_copy(found[i]);
        if (parts[i].empty()) {
            return false;
        }
    }
    return true;
}

bool parsePort(const std::string& text, int& port) {
    std::size_t used = 0;
    try {
        port = std::stoi(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    return used == text.size() && port >= 1 && port <= 65535;
}

}  // namespace

RendezvousSelection::RendezvousSelection() : ports{0, 0} {}

RendezvousSelection::~RendezvousSelection() = default;

void RendezvousSelection::addOptions(boost::program_options::options_description& options) {
    namespace po = boost::program_options;
    options.add_options()("server", po::value<std::string>(&serverOption)->value_name("ADDR1,ADDR2"),
                          "the rendezvous service's two addresses (instead of tarn.addr.1 and tarn.addr.2)")(
        "ports", po::value<std::string>(&portsOption)->value_name("P1,P2"),
        "its two UDP ports (instead of tarn.port.1 and tarn.port.2)");
}

bool RendezvousSelection::validate(std::string& error) {
    if (!serverOption.empty() && !splitPair(serverOption, addresses)) {
        error = "--server needs two addresses separated by a comma, not '" + serverOption + "'";
        return false;
    }
    std::string portTexts[2];
    if (!portsOption.empty() && !(splitPair(portsOption, portTexts) && parsePort(portTexts[0], ports[0]) &&
                                  parsePort(portTexts[1], ports[1]))) {
        error = "--ports needs two ports from 1 to 65535 separated by a comma, not '" + portsOption + "'";
        return false;
    }
    return true;
}

void RendezvousSelection::apply(client::Configurator& config) {
    if (!serverOption.empty()) {
        config.setValue(kAddr1Key, addresses[0]);
        config.setValue(kAddr2Key, addresses[1]);
    }
    if (!portsOption.empty()) {
        config.setValue(kPort1Key, std::to_string(ports[0]));
        config.setValue(kPort2Key, std::to_string(ports[1]));
    }
    if (!config.getString(kAddr1Key).empty() || !config.getString(kAddr2Key).empty()) {
        return;
    }
    // Configured ports are kept; otherwise the server picks free ones, so a service already
    // running on the usual ports is no obstacle.
    const int port1 = config.hasValue(kPort1Key) ? config.getInt(kPort1Key, 0, false) : 0;
    const int port2 = config.hasValue(kPort2Key) ? config.getInt(kPort2Key, 0, false) : 0;
    embedded.reset(new EmbeddedRendezvous(port1, port2));
    config.setValue(kAddr1Key, EmbeddedRendezvous::kAddr1);
    config.setValue(kAddr2Key, EmbeddedRendezvous::kAddr2);
    config.setValue(kPort1Key, std::to_string(embedded->port1()));
    config.setValue(kPort2Key, std::to_string(embedded->port2()));
}

std::string RendezvousSelection::notice() const {
    if (!embedded) {
        return {};
    }
    return "No rendezvous server configured: started tarn-rendezvous for this run on " +
           std::string(EmbeddedRendezvous::kAddr1) + " and " + EmbeddedRendezvous::kAddr2 + ", ports " +
           std::to_string(embedded->port1()) + " and " + std::to_string(embedded->port2()) + " (pid " +
           std::to_string(embedded->pid()) + ").\n";
}

nlohmann::ordered_json RendezvousSelection::json(client::Configurator& config) const {
    nlohmann::ordered_json object;
    object["addr1"] = config.getString(kAddr1Key);
    object["port1"] = config.getInt(kPort1Key, kDefaultPort1, false);
    object["addr2"] = config.getString(kAddr2Key);
    object["port2"] = config.getInt(kPort2Key, kDefaultPort2, false);
    object["embedded"] = isEmbedded();
    return object;
}

}  // namespace probe
}  // namespace tarn
