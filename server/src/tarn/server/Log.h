#pragma once

#include <string>

namespace tarn {
namespace server {

// Whole lines to standard error, "2024-05-01 12:00:00.123 WARN text", safe to call from any thread.
class Log {
public:
    static void error(const std::string& text);
    static void warn(const std::string& text);
    static void info(const std::string& text);

private:
    static void write(const char* level, const std::string& text);
};

}  // namespace server
}  // namespace tarn
