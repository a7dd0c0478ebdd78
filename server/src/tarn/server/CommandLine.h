#pragma once

#include <string>

#include "tarn/server/ServerConfig.h"

namespace tarn {
namespace server {

// The server's command line and optional configuration file (same option names without the
// dashes, "port1 = 13434"); values on the command line win over the file's.
class CommandLine {
public:
    enum class Outcome { RUN, HELP, ERROR };

    // Fills config from the arguments. Help: message holds the usage or version text to print
    // before a successful exit; Error: message says
    // what is wrong; Run: config is validated and ready.
    static Outcome parse(int argc, const char* const argv[], ServerConfig& config, std::string& message);
};

}  // namespace server
}  // namespace tarn
