#pragma once

#include <iterator>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>

// A fresh temporary directory that is the process's current directory for the object's
// lifetime: tests that write tarn.cfg or tarn.log never meet another test's files. Restores the
// previous directory and removes the temporary one on destruction.
class ScopedWorkDir {
public:
    ScopedWorkDir() : previous(boost::filesystem::current_path()) {
        dir = boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("tarn-test-%%%%-%%%%-%%%%");
        if (!boost::filesystem::create_directory(dir)) {
            throw std::runtime_error("temporary directory exists already: " + dir.string());
        }
        boost::filesystem::current_path(dir);
    }

    ~ScopedWorkDir() {
        boost::system::error_code ignored;
        boost::filesystem::current_path(previous, ignored);
        boost::filesystem::remove_all(dir, ignored);
    }

    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const boost::filesystem::path& path() const { return dir; }

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
    boost::filesystem::path previous;
    boost::filesystem::path dir;
};
