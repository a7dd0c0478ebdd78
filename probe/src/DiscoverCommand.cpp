#include "DiscoverCommand.h"

#include <chrono>
#include <exception>
#include <iomanip>
#include <iostream>
#include <sstream>

#include <tarn/tarn_client.h>
#include <boost/program_options.hpp>
#include <nlohmann/json.hpp>

#include "Console.h"
#include "LatticeProxyScope.h"
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
    text << "Usage: tarn-probe discover [options]\n"
         << "Discovers this host's network topology with the tarn library and reports it to a recording\n"
         << "meta service. Reads tarn.cfg and writes tarn.log in the current directory. Without a\n"
         << "configured rendezvous server it starts tarn-rendezvous on 127.0.0.1 and 127.0.0.2 for the run.\n"
         << "Exit codes: 0 valid topology and report delivered, 1 discovery failed or topology invalid,\n"
         << "2 usage error, 3 rendezvous service unreachable.\n\n"
         << options;
    return text.str();
}

}  // namespace

std::string DiscoverCommand::summary() const {
    return "discover this host's topology and report it (--json for one JSON object)";
}

int DiscoverCommand::run(const std::vector<std::string>& args) {
    bool asJson = false;
    bool fast = false;
    std::string userId;
    RendezvousSelection rendezvous;
    po::options_description options("Options");
    options.add_options()("json", po::bool_switch(&asJson),
                          "print one JSON object on standard output instead of text")(
        "user-id",
        po::value<std::string>(&userId)->default_value(ProbeDiscovery::kDefaultUserId)->value_name("ID"),
        "the user id sent in the report")("fast", po::bool_switch(&fast), ProbeDiscovery::kFastHelp)(
        "help,h", "show this text");
    rendezvous.addOptions(options);

    po::variables_map values;
    std::string problem;
    try {
        // No positional words: an empty description turns any into an error.
        po::store(po::command_line_parser(args)
                      .options(options)
                      .positional(po::positional_options_description())
                      .run(),
                  values);
        po::notify(values);
    } catch (const po::error& e) {
        problem = e.what();
    }
    if (problem.empty() && values.count("help") != 0) {
        std::cout << usage(options);
        return SUCCESS;
    }
    if (!problem.empty() || !rendezvous.validate(problem)) {
        std::cerr << "tarn-probe discover: " << problem << "\n\n" << usage(options);
        return USAGE_ERROR;
    }

    // From here on the library's console lines go to standard error.
    Console console;
    auto echo = [&console, asJson](const std::string& line) {
        if (asJson) {
            std::cerr << line;
        } else {
            console.print(line);
        }
    };

    lattice::TARNWrapper& tarn = lattice::TARNWrapper::getInstance();
    client::Configurator& config = tarn.getConfigurator();
    std::string error;
    int exitCode = ProbeDiscovery::useRendezvous(rendezvous, config, error);
    if (fast) {
        ProbeDiscovery::useFastMode(config);
    }
    if (!asJson) {
        console.print(rendezvous.notice());
    } else {
        std::cerr << rendezvous.notice();
    }

    RecordingLatticeClient meta(echo);
    LatticeProxyScope proxy(tarn, meta);
    // Copied out so that the output is complete also when the library throws.
    client::Topology topology;
    const auto started = std::chrono::steady_clock::now();
    if (exitCode == SUCCESS) {
        exitCode = ProbeDiscovery::discover(tarn, userId, topology, error);
    }
    // The search for a local binding, the NAT tests and the report.
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    // Empty unless a discovery ran; the getter itself does no network work.
    const client::NatMeasurement measurement = tarn.getNatMeasurement();
    const StandardTerms terms = StandardTerms::of(topology, measurement, elapsedMs);

    const LatticeReportRecord* report = meta.reports().empty() ? nullptr : &meta.reports().back();
    if (asJson) {
        nlohmann::ordered_json object = TopologyDescription::json(topology, terms);
        // Measured behind a symmetric NAT only.
        object["foreignPortRate"] = measurement.foreignPortRate >= 0
                                        ? nlohmann::ordered_json(measurement.foreignPortRate)
                                        : nlohmann::ordered_json();
        // Answers that came after their test was judged, dropped.
        object["lateAnswers"] = measurement.lateAnswers;
        // The router's mapping that the topology advertises; null without one.
        if (!measurement.mappingProtocol.empty()) {
            object["portMapping"] = {{"protocol", measurement.mappingProtocol},
                                     {"externalAddr", measurement.mappedAddr},
                                     {"externalPort", measurement.mappedPort},
                                     {"leaseSeconds", measurement.mappingLeaseSeconds}};
        } else {
            object["portMapping"] = nullptr;
        }
        object["rendezvous"] = rendezvous.json(config);
        object["report"] = report != nullptr ? toJson(*report) : nlohmann::ordered_json();
        object["exitCode"] = exitCode;
        if (!error.empty()) {
            object["error"] = error;
        }
        console.print(object.dump(2) + "\n");
    } else {
        std::ostringstream text;
        text << TopologyDescription::text(topology, terms);
        if (measurement.foreignPortRate >= 0) {
            text << "Others' ports:    " << std::fixed << std::setprecision(1) << measurement.foreignPortRate
                 << std::defaultfloat << " per second (taken by other hosts behind the NAT)\n";
        }
        if (!measurement.mappingProtocol.empty()) {
            text << "Port mapping:     " << measurement.mappingProtocol << " " << measurement.mappedAddr << ":"
                 << measurement.mappedPort << ", lease " << measurement.mappingLeaseSeconds
                 << " s (the router forwards it; advertised as a full cone)\n";
        }
        if (report != nullptr) {
            text << "Report:           " << report->featurette << "::" << report->method
                 << (report->returnCode == 0 ? " delivered" : " not delivered") << " (return code "
                 << report->returnCode << ")\n";
        } else {
            text << "Report:           none sent\n";
        }
        if (!error.empty()) {
            text << "tarn-probe: " << error << "\n";
        }
        console.print(text.str());
    }
    return exitCode;
}

}  // namespace probe
}  // namespace tarn
