#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>

#include "tarn/client/impl/ServiceRegistry.h"

namespace tarn {
namespace test {

// Sends the library's log file of this test process to a directory of its own, so that tests of
// one folder running side by side never share a file, and reads it back. Construct it before
// anything logs: the logging service reads these keys once, on its first use.
class TestLog {
public:
    explicit TestLog(const std::string& level = "trace")
        : directory(boost::filesystem::temp_directory_path() /
                    boost::filesystem::unique_path("tarn-log-%%%%-%%%%-%%%%")) {
        boost::filesystem::create_directories(directory);
        client::Configurator& config = client::impl::ServiceRegistry::instance().getConfigurator();
        config.setValue("tarn.logdir", directory.string());
        config.setValue("tarn.loglevel", level);
    }

    ~TestLog() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(directory, ignored);
    }

    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    std::string text() const {
        std::ifstream in((directory / "tarn.log").string());
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // How many times a piece of text occurs in the log.
    int count(const std::string& piece) const {
        const std::string all = text();
        int found = 0;
        for (std::size_t at = all.find(piece); at != std::string::npos;
             at = all.find(piece, at + piece.size())) {
            ++found;
        }
        return found;
    }

    bool contains(const std::string& piece) const { return count(piece) > 0; }

private:
    boost::filesystem::path directory;
};

}  // namespace test
}  // namespace tarn
