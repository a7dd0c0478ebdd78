#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace tarn {
namespace test {

// Catches everything written to std::cout and std::cerr while it lives, by swapping the
// streams' buffers, and puts the original buffers back on destruction.
class ConsoleCapture {
public:
    ConsoleCapture() : oldOut(std::cout.rdbuf(out.rdbuf())), oldErr(std::cerr.rdbuf(err.rdbuf())) {}

    ~ConsoleCapture() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }

    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string stdOut() const { return out.str(); }
    std::string stdErr() const { return err.str(); }

    // Forgets what was caught so far.
    void clear() {
        out.str("");
        err.str("");
    }

private:
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

}  // namespace test
}  // namespace tarn
