#pragma once

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TempDir.h"

namespace tarn {
namespace test {

// A working directory of its own for one probe run: the probe reads tarn.cfg and writes
// tarn.log there. Removed with everything in it when the object goes away.
class ProbeWorkDir : public TempDir {
public:
    ProbeWorkDir() : TempDir("tarn-probe") {}

    void write(const std::string& name, const std::string& content) const { writeFile(name, content); }
    std::string read(const std::string& name) const { return readFile(name); }
};

// The command line of the staged probe with these arguments; empty, and a test failure, when the
// build has not been staged.
inline std::vector<std::string> stagedProbe(std::vector<std::string> args) {
    const std::string program = TARN_PROBE_PATH;
    if (::access(program.c_str(), X_OK) != 0) {
        ADD_FAILURE() << program << " is missing: stage the build with scripts/build.sh";
        return {};
    }
    args.insert(args.begin(), program);
    return args;
}

}  // namespace test
}  // namespace tarn
