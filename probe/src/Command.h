#pragma once

#include <string>
#include <vector>

namespace tarn {
namespace probe {

// The exit codes every subcommand uses.
enum ExitCode : int {
    SUCCESS = 0,
    // Discovery or the operation failed, or its result is not valid.
    FAILED = 1,
    USAGE_ERROR = 2,
    // The rendezvous service did not answer (or the embedded one could not be started).
    UNREACHABLE = 3,
};

// One subcommand of tarn-probe ("discover" ...). Each runs once per process: the library's facade
// is a process-wide singleton.
class Command {
public:
    virtual ~Command() = default;
    virtual std::string name() const = 0;
    // One line for the command overview.
    virtual std::string summary() const = 0;
    // args are the words after the command name; returns an ExitCode.
    virtual int run(const std::vector<std::string>& args) = 0;
};

}  // namespace probe
}  // namespace tarn
