#pragma once

#include <memory>
#include <string>

#include "tarn/client/LoggingService.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace logging {

struct LoggingServiceData;

// The logging service: one line per call, on standard output and in the log file.
class LoggingServiceImpl : public AbstractInitializable, public LoggingService {
public:
    LoggingServiceImpl();
    ~LoggingServiceImpl() override;

    void setLevel(const std::string& levelName) override;
    void setLevel(int level) override;
    void setLogFile(const std::string& directory, const std::string& fileName) override;
    void trace(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void debug(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void info(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void warn(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void error(const std::string& loggerName, const std::string& tag, const std::string& message) override;

    // True when a line of this level passes the threshold.
    bool isLogged(int level) const;

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    void write(int level, const std::string& loggerName, const std::string& tag, const std::string& message);

    std::unique_ptr<LoggingServiceData> data;
};

}  // namespace logging
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
