#pragma once

#include <string>

#include <boost/filesystem.hpp>

#include "TempDir.h"

namespace tarn {
namespace test {

// A temporary directory that is the process's current directory for the object's lifetime.
// Restores the previous directory before the temporary one is removed.
class ScopedWorkDir : public TempDir {
public:
    explicit ScopedWorkDir(const std::string& prefix = "tarn-test")
        : TempDir(prefix), previous(boost::filesystem::current_path()) {
        boost::filesystem::current_path(path());
    }

    ~ScopedWorkDir() {
        boost::system::error_code ignored;
        boost::filesystem::current_path(previous, ignored);
    }

private:
    boost::filesystem::path previous;
};

}  // namespace test
}  // namespace tarn
