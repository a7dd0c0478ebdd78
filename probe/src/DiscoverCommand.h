#pragma once

#include "Command.h"

namespace tarn {
namespace probe {

// tarn-probe discover: runs the library's discovery notification and prints the topology it found
// and the report the meta service received, as text or as one JSON object.
class DiscoverCommand : public Command {
public:
    std::string name() const override { return "discover"; }
    std::string summary() const override;
    int run(const std::vector<std::string>& args) override;
};

}  // namespace probe
}  // namespace tarn
