#include "SessionCommand.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>

#include <tarn/tarn_client.h>
#include <boost/program_options.hpp>
#include <nlohmann/json.hpp>

#include "Console.h"
#include "LatticeProxyScope.h"
#include "PeerListJson.h"
#include "ProbeDiscovery.h"
#include "RecordingLatticeClient.h"
#include "RendezvousSelection.h"
#include "TopologyDescription.h"

namespace tarn {
namespace probe {

namespace po = boost::program_options;

namespace {

std::string usage(const po::options_description& options) {
    std::ostringstream text;
    text << "Usage: tarn-probe session --client-id N --game G [options]\n"
         << "Plays one side of a game session across processes. Discovers this host's topology and\n"
         << "prints it as one JSON line ({\"identifier\": N, \"topology\": {...}}), then reads the game's\n"
         << "full peer list from standard input as one JSON line: an array of such lines, every player\n"
         << "including this one. Connects to the peers and prints the result: with --json one JSON line\n"
         << "(each peer's connection and public endpoint, the report, the exit code), else a table.\n"
         << "Reads tarn.cfg and writes tarn.log in the current directory; the library's console lines go\n"
         << "to standard error. Exit codes: 0 connected and report delivered, 1 discovery or connectivity\n"
         << "failed, 2 usage error or bad peer list, 3 rendezvous service unreachable.\n\n"
         << options;
    return text.str();
}

std::string resultText(const std::vector<client::Peer>& peers, long long elapsedMs, int exitCode,
                       const std::string& error) {
    std::ostringstream text;
    text << "Peer        Connection        Public endpoint\n";
    for (const client::Peer& peer : peers) {
        std::string id = std::to_string(peer.identifier);
        std::string connection = PeerListJson::connectionText(peer.connection);
        text << id << std::string(id.size() < 12 ? 12 - id.size() : 1, ' ') << connection
             << std::string(connection.size() < 18 ? 18 - connection.size() : 1, ' ')
             << peer.topology.publicAddr << ":" << peer.topology.publicPort << "\n";
    }
    text << "Connect took " << elapsedMs << " ms; exit code " << exitCode << "\n";
    if (!error.empty()) {
        text << "tarn-probe: " << error << "\n";
    }
    return text.str();
}

}  // namespace

std::string SessionCommand::summary() const {
    return "one player of a game across processes: topology out, peer list in, connections out";
}

int SessionCommand::run(const std::vector<std::string>& args) {
    bool asJson = false;
    bool fast = false;
    std::int64_t clientId = 0;
    std::string gameId;
    RendezvousSelection rendezvous;
    po::options_description options("Options");
    options.add_options()("client-id", po::value<std::int64_t>(&clientId)->required()->value_name("N"),
                          "this player's client id (32-bit)")(
        "game", po::value<std::string>(&gameId)->required()->value_name("G"), "the game's id")(
        "json", po::bool_switch(&asJson), "print the result as one JSON line instead of a table")(
        "fast", po::bool_switch(&fast), ProbeDiscovery::kFastHelp)("help,h", "show this text");
    rendezvous.addOptions(options);

    po::variables_map values;
    std::string problem;
    try {
        po::store(po::command_line_parser(args).options(options).run(), values);
        if (values.count("help") != 0) {
            std::cout << usage(options);
            return SUCCESS;
        }
        po::notify(values);
    } catch (const po::error& e) {
        problem = e.what();
    }
    if (problem.empty() && (clientId < std::numeric_limits<std::int32_t>::min() ||
                            clientId > std::numeric_limits<std::int32_t>::max())) {
        problem = "--client-id must fit in 32 bits, not " + std::to_string(clientId);
    }
    if (problem.empty() && gameId.empty()) {
        problem = "--game must not be empty";
    }
    if (!problem.empty() || !rendezvous.validate(problem)) {
        std::cerr << "tarn-probe session: " << problem << "\n\n" << usage(options);
        return USAGE_ERROR;
    }

    // From here on the library's console lines go to standard error.
    Console console;
    lattice::TARNWrapper& tarn = lattice::TARNWrapper::getInstance();
    client::Configurator& config = tarn.getConfigurator();
    std::string error;
    int exitCode = ProbeDiscovery::useRendezvous(rendezvous, config, error);
    if (fast) {
        ProbeDiscovery::useFastMode(config);
    }
    std::cerr << rendezvous.notice();

    RecordingLatticeClient meta([](const std::string& line) { std::cerr << line; });
    LatticeProxyScope proxy(tarn, meta);
    client::Topology topology;
    if (exitCode == SUCCESS) {
        exitCode = ProbeDiscovery::discover(tarn, ProbeDiscovery::kDefaultUserId, topology, error);
    }

    nlohmann::ordered_json player = PeerListJson::player(static_cast<long>(clientId), topology);
    if (exitCode != SUCCESS) {
        player["exitCode"] = exitCode;
        player["error"] = error;
        console.print(player.dump() + "\n");
        return exitCode;
    }
    console.print(player.dump() + "\n");

    std::string line;
    std::vector<client::Peer> peers;
    if (!std::getline(std::cin, line)) {
        error = "standard input ended before the peer list";
        exitCode = USAGE_ERROR;
    } else if (!PeerListJson::parse(line, peers, error)) {
        exitCode = USAGE_ERROR;
    }
    if (exitCode != SUCCESS) {
        std::cerr << "tarn-probe session: " << error << "\n";
        return exitCode;
    }

    const auto start = std::chrono::steady_clock::now();
    const bool connected = tarn.connect(static_cast<long>(clientId), gameId, peers);
    const long long elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    if (!connected) {
        error = "connectivity failed or its report was not delivered (see tarn.log)";
        exitCode = FAILED;
    }

    if (asJson) {
        nlohmann::ordered_json result;
        result["identifier"] = clientId;
        result["game"] = gameId;
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const client::Peer& peer : peers) {
            list.push_back(PeerListJson::result(peer));
        }
        result["peers"] = list;
        // After the pass: the listener may have learnt a new own public port.
        result["topology"] = TopologyDescription::json(tarn.getCurrentTopology());
        const LatticeReportRecord* report = nullptr;
        for (const LatticeReportRecord& sent : meta.reports()) {
            if (sent.method == lattice::TARNWrapper::MTD_P2P) {
                report = &sent;
            }
        }
        result["report"] = report != nullptr ? toJson(*report) : nlohmann::ordered_json();
        result["elapsedMs"] = elapsedMs;
        result["exitCode"] = exitCode;
        if (!error.empty()) {
            result["error"] = error;
        }
        console.print(result.dump() + "\n");
    } else {
        console.print(resultText(peers, elapsedMs, exitCode, error));
    }
    return exitCode;
}

}  // namespace probe
}  // namespace tarn
