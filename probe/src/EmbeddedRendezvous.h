#pragma once

#include <sys/types.h>

#include <string>

namespace tarn {
namespace probe {

// The project's rendezvous server (tarn-rendezvous), started as a child process on 127.0.0.1
// and 127.0.0.2 for one run of the probe when no server is configured. Looked for next to the
// probe's own executable, then in PATH. Stopped by its pid when this object goes away; the child
// also gets SIGTERM if the probe dies first.
class EmbeddedRendezvous {
public:
    static constexpr const char* kAddr1 = "127.0.0.1";
    static constexpr const char* kAddr2 = "127.0.0.2";

    // Starts the server on the two ports (0: a free port the server picks) and returns once it
    // listens. Throws std::runtime_error with a readable reason when it cannot be started.
    EmbeddedRendezvous(int port1, int port2);
    ~EmbeddedRendezvous();
    EmbeddedRendezvous(const EmbeddedRendezvous&) = delete;
    EmbeddedRendezvous& operator=(const EmbeddedRendezvous&) = delete;

    int port1() const { return ports[0]; }
    int port2() const { return ports[1]; }
    pid_t pid() const { return child; }

private:
    void stop();

    pid_t child;
    // Read end of the child's standard output, which announces the bound endpoints.
    int output;
    int ports[2];
};

}  // namespace probe
}  // namespace tarn
