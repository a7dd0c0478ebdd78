#pragma once

#include <iterator>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>

namespace tarn {
namespace test {

// A fresh directory under the system's temporary one, removed with everything in it when the
// object goes away: tests that write tarn.cfg or tarn.log never meet another test's files.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tarn-test")
        : dir(boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path(prefix + "-%%%%-%%%%-%%%%")) {
        if (!boost::filesystem::create_directory(dir)) {
            throw std::runtime_error("temporary directory exists already: " + dir.string());
        }
    }

    ~TempDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir, ignored);
    }

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const boost::filesystem::path& path() const { return dir; }
    std::string str() const { return dir.string(); }

    // Writes text to a file relative to the directory, replacing it; bytes are kept as given.
    void writeFile(const std::string& name, const std::string& text) const {
        boost::filesystem::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            throw std::runtime_error("cannot write " + (dir / name).string());
        }
    }

    // The whole content of a file relative to the directory; empty when it does not exist.
    std::string readFile(const std::string& name) const {
        boost::filesystem::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    boost::filesystem::path dir;
};

}  // namespace test
}  // namespace tarn
