#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>

namespace tarn {
namespace test {

// A working directory of its own for one probe run: the probe reads tarn.cfg and writes
// tarn.log there. Removed with everything in it when the object goes away.
class ProbeWorkDir {
public:
    ProbeWorkDir()
        : path(boost::filesystem::temp_directory_path() /
               boost::filesystem::unique_path("tarn-probe-%%%%-%%%%")) {
        boost::filesystem::create_directories(path);
    }
    ~ProbeWorkDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path, ignored);
    }
    ProbeWorkDir(const ProbeWorkDir&) = delete;
    ProbeWorkDir& operator=(const ProbeWorkDir&) = delete;

    void write(const std::string& name, const std::string& content) const {
        std::ofstream((path / name).string()) << content;
    }
    std::string read(const std::string& name) const {
        std::ifstream in((path / name).string());
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    std::string str() const { return path.string(); }

private:
    boost::filesystem::path path;
};

}  // namespace test
}  // namespace tarn
