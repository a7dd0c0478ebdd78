#pragma once

#include <memory>
#include <string>

#include "tarn/client/LoggingService.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn::client::impl::service::logging {

struct LoggingServiceData;

// The logging service: one line per call, "[LEVEL] [yyyy-Mon-dd hh:mm:ss] [name:tag] message",
// flushed to standard output (unless tarn.logconsole is 0) and, once initialized, to the log
// file, synchronously under one lock. Lines may come from any thread, which therefore never log
// while holding a lock another thread needs; setLevel, setLogFile, init and shutdown belong to
// the host's thread.
class LoggingServiceImpl : public AbstractInitializable, public LoggingService {
public:
    LoggingServiceImpl();
    ~LoggingServiceImpl() override;

    void setLevel(const std::string& levelName) override;
    void setLevel(int level) override;
    // Both values are trimmed; an empty one falls back to the configuration at the next init.
    void setLogFile(const std::string& directory, const std::string& fileName) override;
    void trace(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void debug(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void info(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void warn(const std::string& loggerName, const std::string& tag, const std::string& message) override;
    void error(const std::string& loggerName, const std::string& tag, const std::string& message) override;

    // True when a line of this level passes the threshold; safe from any thread.
    bool isLogged(int level) const;

protected:
    // Reads the level, the console switch, directory and file name from the configuration and opens the log
    // file, truncating it. Prints its notices directly: logging through the registry here would re-enter this
    // initialization. Succeeds even without a log file.
    bool doInit() override;
    // Closes the log file; later lines go to standard output only.
    void doShutdown() override;

private:
    // Creates the log directory with its missing parents and opens the file; false, after a
    // line on standard error, when either fails.
    bool openLogFile();
    void write(int level, const std::string& loggerName, const std::string& tag, const std::string& message);

    std::unique_ptr<LoggingServiceData> data;
};

}  // namespace tarn::client::impl::service::logging
