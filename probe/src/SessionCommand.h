#pragma once

#include "Command.h"

namespace tarn {
namespace probe {

// tarn-probe session: one player's side of a game across processes. Discovers the topology, prints
// it as one JSON line, reads the game's full peer list as one JSON line from standard input,
// connects to the peers and prints how each was reached.
class SessionCommand : public Command {
public:
    std::string name() const override { return "session"; }
    std::string summary() const override;
    int run(const std::vector<std::string>& args) override;
};

}  // namespace probe
}  // namespace tarn
