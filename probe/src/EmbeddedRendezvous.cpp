#include "EmbeddedRendezvous.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tarn {
namespace probe {

namespace {

const char* const kServerBinary = "tarn-rendezvous";
// How long the server may take to bind and announce itself, and to exit after SIGTERM.
const int kStartTimeoutMs = 5000;
const int kStopTimeoutMs = 3000;

using Clock = std::chrono::steady_clock;

// tarn-rendezvous in the folder of this executable, or empty when there is none.
std::string siblingBinary() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return {};
    }
    std::string self(path, static_cast<std::size_t>(length));
    const std::size_t slash = self.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    std::string candidate = self.substr(0, slash + 1) + kServerBinary;
    return access(candidate.c_str(), X_OK) == 0 ? candidate : std::string();
}

enum class ReadResult { DATA, END, TIMEOUT };

// Reads what is available within the time left.
ReadResult readSome(int fd, std::string& into, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return ReadResult::TIMEOUT;
        }
        pollfd polled{fd, POLLIN, 0};
        const int ready = poll(&polled, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return ReadResult::END;
        }
        if (ready == 0) {
            return ReadResult::TIMEOUT;
        }
        char buffer[512];
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return ReadResult::END;
        }
        into.append(buffer, static_cast<std::size_t>(n));
        return ReadResult::DATA;
    }
}

// "tarn-rendezvous listening on A:P1 A:P2 B:P1 B:P2 with N workers": the ports of S1 and S2.
bool parseListening(const std::string& line, int ports[2]) {
    std::istringstream words(line);
    std::vector<std::string> tokens;
    for (std::string word; words >> word;) {
        tokens.push_back(word);
    }
    if (tokens.size() < 5 || tokens[1] != "listening") {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        const std::string& endpoint = tokens[3 + i];
        const std::size_t colon = endpoint.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        try {
            ports[i] = std::stoi(endpoint.substr(colon + 1));
        } catch (const std::exception&) {
            return false;
        }
    }
    return true;
}

}  // namespace

EmbeddedRendezvous::EmbeddedRendezvous(int port1, int port2) : child(-1), output(-1), ports{port1, port2} {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe for tarn-rendezvous");
    }
    const std::string sibling = siblingBinary();
    std::vector<std::string> words = {kServerBinary,
                                      "--addr1",
                                      kAddr1,
                                      "--addr2",
                                      kAddr2,
                                      "--port1",
                                      std::to_string(port1),
                                      "--port2",
                                      std::to_string(port2),
                                      "--threads",
                                      "1",
                                      "--stats-interval",
                                      "0"};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);

    const pid_t parent = getpid();
    child = fork();
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        throw std::runtime_error("cannot start tarn-rendezvous: fork failed");
    }
    if (child == 0) {
        // A probe that dies without cleaning up must not leave the server behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        dup2(pipeFds[1], STDOUT_FILENO);
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0) {
            dup2(nothing, STDIN_FILENO);
        }
        if (!sibling.empty()) {
            execv(sibling.c_str(), argv.data());
        }
        execvp(kServerBinary, argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    output = pipeFds[0];

    std::string announced;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (announced.find('\n') == std::string::npos) {
        if (readSome(output, announced, deadline) != ReadResult::DATA) {
            stop();
            throw std::runtime_error(
                sibling.empty() && announced.empty()
                    ? "tarn-rendezvous was not found next to tarn-probe or in PATH, or did "
                      "not start"
                    : "tarn-rendezvous did not start listening");
        }
    }
    if (!parseListening(announced.substr(0, announced.find('\n')), ports)) {
        stop();
        throw std::runtime_error("tarn-rendezvous announced something unexpected: " +
                                 announced.substr(0, announced.find('\n')));
    }
}

EmbeddedRendezvous::~EmbeddedRendezvous() {
    stop();
}

void EmbeddedRendezvous::stop() {
    if (child <= 0) {
        return;
    }
    kill(child, SIGTERM);
    // The server prints its final counters and exits, which closes its output: read to that end
    // so it never blocks on a full pipe. One that does not end in time is killed.
    std::string ignored;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    ReadResult result = ReadResult::DATA;
    while (result == ReadResult::DATA) {
        ignored.clear();
        result = readSome(output, ignored, deadline);
    }
    if (result == ReadResult::TIMEOUT) {
        kill(child, SIGKILL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    close(output);
    output = -1;
    child = -1;
}

}  // namespace probe
}  // namespace tarn
