#pragma once

#include <string>

namespace tarn {
namespace probe {

// Keeps standard output for the probe's own results. The library writes a copy of every log line
// (and its start-up notices) to standard output; as the host, the probe moves file descriptor 1
// onto standard error for the rest of the process and prints its results through a private copy
// of the original standard output. The move is never undone: the library may still log while the
// process exits.
class Console {
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Writes the text to the original standard output, whole.
    void print(const std::string& text) const;

private:
    int out;
};

}  // namespace probe
}  // namespace tarn
