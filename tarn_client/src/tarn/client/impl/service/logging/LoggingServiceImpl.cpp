#include "tarn/client/impl/service/configurator/Settings.h"
#include "tarn/client/impl/service/logging/LoggingServiceImpl.h"

#include <atomic>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "tarn/client/Configurator.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"

namespace tarn::client::impl::service::logging {

using configurator::Settings;

struct LoggingServiceData {
    // Read by every thread that logs, changed by the host's thread.
    std::atomic<int> threshold{Log::INFO};
    // Whether lines also go to standard output; set by init, read by every thread that logs.
    std::atomic<bool> console{true};
    // Held while one line goes to both outputs, and whenever logFile is opened or closed.
    std::mutex writeLock;
    std::ofstream logFile;
    std::string logDir;
    std::string logName;
    const std::map<int, std::string> levelNames{{Log::TRACE, "TRACE"},
                                                {Log::DEBUG, "DEBUG"},
                                                {Log::INFO, "INFO"},
                                                {Log::WARN, "WARN"},
                                                {Log::ERROR, "ERROR"}};
};

LoggingServiceImpl::LoggingServiceImpl() : data(new LoggingServiceData) {}

LoggingServiceImpl::~LoggingServiceImpl() = default;

void LoggingServiceImpl::setLevel(const std::string& levelName) {
    const std::string wanted = boost::algorithm::to_upper_copy(boost::algorithm::trim_copy(levelName));
    for (const auto& level : data->levelNames) {
        if (level.second == wanted) {
            data->threshold = level.first;
            return;
        }
    }
}

void LoggingServiceImpl::setLevel(int level) {
    data->threshold = level;
}

void LoggingServiceImpl::setLogFile(const std::string& directory, const std::string& fileName) {
    data->logDir = boost::algorithm::trim_copy(directory);
    data->logName = boost::algorithm::trim_copy(fileName);
}

void LoggingServiceImpl::trace(const std::string& loggerName, const std::string& tag,
                               const std::string& message) {
    write(Log::TRACE, loggerName, tag, message);
}

void LoggingServiceImpl::debug(const std::string& loggerName, const std::string& tag,
                               const std::string& message) {
    write(Log::DEBUG, loggerName, tag, message);
}

void LoggingServiceImpl::info(const std::string& loggerName, const std::string& tag,
                              const std::string& message) {
    write(Log::INFO, loggerName, tag, message);
}

void LoggingServiceImpl::warn(const std::string& loggerName, const std::string& tag,
                              const std::string& message) {
    write(Log::WARN, loggerName, tag, message);
}

void LoggingServiceImpl::error(const std::string& loggerName, const std::string& tag,
                               const std::string& message) {
    write(Log::ERROR, loggerName, tag, message);
}

bool LoggingServiceImpl::isLogged(int level) const {
    return level >= data->threshold.load(std::memory_order_relaxed);
}

bool LoggingServiceImpl::doInit() {
    Configurator& config = ServiceRegistry::instance().getConfigurator();

    if (Settings::kDebug.present(config) && !Settings::kLogLevel.present(config)) {
        setLevel(Log::TRACE);
    } else {
        // An absent or unknown name keeps the current level.
        setLevel(Settings::kLogLevel.text(config));
    }
    // setLevel(int) takes any number; one without a name is shown as the number itself.
    const int threshold = data->threshold;
    const auto name = data->levelNames.find(threshold);
    std::cout << "Logging level is set to "
              << (name != data->levelNames.end() ? name->second : std::to_string(threshold)) << std::endl;

    // Only 0 (or a value that reads as 0) turns the console copy off.
    data->console = Settings::kLogConsole.number(config) != 0;

    // Values given through setLogFile win over the configuration.
    if (data->logDir.empty()) {
        data->logDir = Settings::kLogDir.text(config);
    }
    if (data->logName.empty()) {
        data->logName = Settings::kLogName.text(config);
    }

    doShutdown();
    if (!openLogFile()) {
        std::cerr << "NO LOGFILE WILL BE GENERATED" << std::endl;
    }
    return true;
}

void LoggingServiceImpl::doShutdown() {
    std::lock_guard<std::mutex> lock(data->writeLock);
    if (data->logFile.is_open()) {
        data->logFile.close();
    }
}

bool LoggingServiceImpl::openLogFile() {
    namespace fs = boost::filesystem;

    const fs::path directory(data->logDir);
    // create_directories rejects "." and "./" even though they exist, so an existing directory
    // is accepted before it is asked.
    boost::system::error_code ignored;
    if (!directory.empty() && !fs::is_directory(directory, ignored)) {
        try {
            fs::create_directories(directory);
        } catch (const std::exception& e) {
            std::cerr << "Could not create log directory " << directory.string() << e.what() << std::endl;
            return false;
        }
    }

    const fs::path file = directory / data->logName;
    bool opened = false;
    {
        std::lock_guard<std::mutex> lock(data->writeLock);
        data->logFile.open(file.string(), std::ios::out | std::ios::trunc);
        opened = data->logFile.is_open();
    }
    if (opened) {
        std::cout << "TARN logging will be directed to " << file.string() << std::endl;
        return true;
    }
    std::cerr << "COULD NOT OPEN " << file.string() << " FOR WRITING" << std::endl;
    return false;
}

void LoggingServiceImpl::write(int level, const std::string& loggerName, const std::string& tag,
                               const std::string& message) {
    if (!isLogged(level)) {
        return;
    }
    // Composed outside the lock: only the writes of whole lines are serialized.
    const std::string stamp =
        boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
    std::string line;
    line.append("[")
        .append(data->levelNames.at(level))
        .append("] [")
        .append(stamp)
        .append("] [")
        .append(loggerName)
        .append(":")
        .append(tag)
        .append("] ")
        .append(message)
        .append("\n");

    // The console is written synchronously: a standard output nobody drains stalls every thread
    // that logs until it drains, which tarn.logconsole = 0 avoids.
    std::lock_guard<std::mutex> lock(data->writeLock);
    if (data->console) {
        std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
        std::cout.flush();
    }
    if (data->logFile.is_open()) {
        data->logFile.write(line.data(), static_cast<std::streamsize>(line.size()));
        data->logFile.flush();
    }
}

}  // namespace tarn::client::impl::service::logging
