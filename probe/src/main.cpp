// tarn-probe: a host program that uses the tarn library the way a game does, one subcommand per run.
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "DiscoverCommand.h"
#include "SessionCommand.h"

namespace {

std::vector<std::unique_ptr<tarn::probe::Command>> commands() {
    std::vector<std::unique_ptr<tarn::probe::Command>> all;
    all.emplace_back(new tarn::probe::DiscoverCommand);
    all.emplace_back(new tarn::probe::SessionCommand);
    return all;
}

void overview(std::ostream& out, const std::vector<std::unique_ptr<tarn::probe::Command>>& all) {
    out << "Usage: tarn-probe <command> [options]\n\nCommands:\n";
    for (const auto& command : all) {
        out << "  " << command->name() << "  " << command->summary() << "\n";
    }
    out << "\n'tarn-probe <command> --help' describes a command's options; 'tarn-probe --version' prints the "
           "version.\n";
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::unique_ptr<tarn::probe::Command>> all = commands();
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h" || first == "help") {
        overview(std::cout, all);
        return tarn::probe::SUCCESS;
    }
    if (first == "--version") {
        std::cout << "tarn-probe " << TARN_PROBE_VERSION << "\n";
        return tarn::probe::SUCCESS;
    }
    for (const auto& command : all) {
        if (command->name() == first) {
            try {
                return command->run(std::vector<std::string>(argv + 2, argv + argc));
            } catch (const std::exception& e) {
                std::cerr << "tarn-probe " << first << ": " << e.what() << "\n";
                return tarn::probe::FAILED;
            }
        }
    }
    std::cerr << (first.empty() ? "tarn-probe: no command given"
                                : "tarn-probe: unknown command '" + first + "'")
              << "\n\n";
    overview(std::cerr, all);
    return tarn::probe::USAGE_ERROR;
}
