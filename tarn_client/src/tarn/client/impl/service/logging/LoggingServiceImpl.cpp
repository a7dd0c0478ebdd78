#include "tarn/client/impl/service/logging/LoggingServiceImpl.h"

#include <iostream>
#include <mutex>

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace logging {

struct LoggingServiceData {
    int threshold = 2;
    std::mutex writeLock;
};

namespace {
const char* const LEVEL_NAMES[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
}

LoggingServiceImpl::LoggingServiceImpl() : data(new LoggingServiceData) {}

LoggingServiceImpl::~LoggingServiceImpl() = default;

void LoggingServiceImpl::setLevel(const std::string& levelName) {
    for (int level = 0; level < 5; ++level) {
        if (levelName == LEVEL_NAMES[level]) {
            data->threshold = level;
        }
    }
}

void LoggingServiceImpl::setLevel(int level) {
    data->threshold = level;
}

void LoggingServiceImpl::setLogFile(const std::string&, const std::string&) {}

void LoggingServiceImpl::trace(const std::string& n, const std::string& t, const std::string& m) {
    write(0, n, t, m);
}
void LoggingServiceImpl::debug(const std::string& n, const std::string& t, const std::string& m) {
    write(1, n, t, m);
}
void LoggingServiceImpl::info(const std::string& n, const std::string& t, const std::string& m) {
    write(2, n, t, m);
}
void LoggingServiceImpl::warn(const std::string& n, const std::string& t, const std::string& m) {
    write(3, n, t, m);
}
void LoggingServiceImpl::error(const std::string& n, const std::string& t, const std::string& m) {
    write(4, n, t, m);
}

bool LoggingServiceImpl::isLogged(int level) const {
    return level >= data->threshold;
}

bool LoggingServiceImpl::doInit() {
    return true;
}

void LoggingServiceImpl::doShutdown() {}

void LoggingServiceImpl::write(int level, const std::string& loggerName, const std::string& tag,
                               const std::string& message) {
    if (!isLogged(level)) {
        return;
    }
    std::lock_guard<std::mutex> lock(data->writeLock);
    std::cout << "[" << LEVEL_NAMES[level] << "] [" << loggerName << ":" << tag << "] " << message
              << std::endl;
}

}  // namespace logging
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
