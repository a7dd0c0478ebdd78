#pragma once

#include <string>

#include "ClientConfig.h"
#include "Occurrences.h"
#include "TempDir.h"

namespace tarn {
namespace test {

// Sends the library's log file of this test process, at TRACE level, to a directory of its own,
// so that tests of one folder running side by side never share a file, and reads it back.
// Construct it before anything logs: the logging service reads these keys once, on its first use.
class TestLog {
public:
    TestLog() : directory("tarn-log") {
        config().setValue("tarn.logdir", directory.str());
        config().setValue("tarn.loglevel", "trace");
    }

    std::string text() const { return directory.readFile("tarn.log"); }

    // How many times a piece of text occurs in the log.
    int count(const std::string& piece) const { return static_cast<int>(occurrences(text(), piece)); }

    bool contains(const std::string& piece) const { return count(piece) > 0; }

private:
    TempDir directory;
};

}  // namespace test
}  // namespace tarn
