#pragma once

#include <string>

#include "tarn/client/Export.h"
#include "tarn/client/Initializable.h"

namespace tarn::client {

// Writes every diagnostic line to standard output and to the log file. The slot order of the
// operations is part of the host interface.
class TARN_API LoggingService : public virtual Initializable {
public:
    ~LoggingService() override;
    // TRACE, DEBUG, INFO, WARN or ERROR in any case, blanks ignored; other names change nothing.
    virtual void setLevel(const std::string& levelName) = 0;
    // Lowest level number written (0 TRACE .. 4 ERROR); not range-checked.
    virtual void setLevel(int level) = 0;
    // Takes effect at the next init(), where it wins over the configuration.
    virtual void setLogFile(const std::string& directory, const std::string& fileName) = 0;
    virtual void trace(const std::string& loggerName, const std::string& tag, const std::string& message) = 0;
    virtual void debug(const std::string& loggerName, const std::string& tag, const std::string& message) = 0;
    virtual void info(const std::string& loggerName, const std::string& tag, const std::string& message) = 0;
    virtual void warn(const std::string& loggerName, const std::string& tag, const std::string& message) = 0;
    virtual void error(const std::string& loggerName, const std::string& tag, const std::string& message) = 0;
};

}  // namespace tarn::client
