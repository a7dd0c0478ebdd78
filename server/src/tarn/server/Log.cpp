#include "tarn/server/Log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace tarn {
namespace server {

void Log::error(const std::string& text) {
    write("ERROR", text);
}

void Log::warn(const std::string& text) {
    write("WARN", text);
}

void Log::info(const std::string& text) {
    write("INFO", text);
}

void Log::write(const char* level, const std::string& text) {
    static std::mutex mutex;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "%s.%03d %s %s\n", stamp, static_cast<int>(millis), level, text.c_str());
    std::fflush(stderr);
}

}  // namespace server
}  // namespace tarn
