#include "Console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

namespace tarn {
namespace probe {

Console::Console() : out(-1) {
    std::cout.flush();
    std::fflush(stdout);
    out = dup(STDOUT_FILENO);
    if (out < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::cerr
            << "tarn-probe: cannot separate the library's console output; it stays on standard output\n";
        if (out >= 0) {
            close(out);
        }
        out = -1;
    }
}

Console::~Console() {
    if (out >= 0) {
        close(out);
    }
}

void Console::print(const std::string& text) const {
    if (out < 0) {
        std::cout << text << std::flush;
        return;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(out, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace probe
}  // namespace tarn
