#pragma once

#include <locale>
#include <mutex>
#include <sstream>
#include <string>

#include <boost/format.hpp>

#include "tarn/client/impl/ServiceRegistry.h"

namespace tarn::client::impl {

// Positional formatting ("%1%", "%2%" ...) and level-checked logging through the registry's
// logging service. A line below the threshold is never formatted.
class Log {
public:
    // Level numbers of the logging service (0 TRACE .. 4 ERROR).
    enum Level { TRACE = 0, DEBUG = 1, INFO = 2, WARN = 3, ERROR = 4 };

    // Each value is inserted with its normal stream output, in the classic locale whatever global
    // locale the host installed (a port must not read "13,434"). A pattern with more or fewer
    // placeholders than values still yields a text instead of throwing.
    template <typename... Args>
    static std::string format(const std::string& pattern, const Args&... args) {
        boost::format f(pattern, std::locale::classic());
        f.exceptions(boost::io::all_error_bits ^
                     (boost::io::too_many_args_bit | boost::io::too_few_args_bit));
        (void)std::initializer_list<int>{((void)(f % args), 0)...};
        return f.str();
    }

    // "\n[", then a line break and a tab before each item, then "\n]": the form of every list in
    // a log line. Items are written in the classic locale, as format writes its values.
    template <typename Items>
    static std::string listText(const Items& items) {
        std::ostringstream text;
        text.imbue(std::locale::classic());
        text << "\n[";
        for (const auto& item : items) {
            text << "\n\t" << item;
        }
        text << "\n]";
        return text.str();
    }

    // Log lines are formatted with the global locale, whose ctype facet fills its
    // narrow-character cache lazily on first use of each character. Filled once before a second
    // thread logs, the cache is only read from then on.
    static void fillNarrowCache() {
        static std::once_flag once;
        std::call_once(once, [] {
            const auto& ctype = std::use_facet<std::ctype<char>>(std::locale());
            for (int c = 0; c < 256; ++c) {
                ctype.narrow(static_cast<char>(c), 0);
            }
        });
    }

    template <typename... Args>
    static void trace(const std::string& name, const std::string& tag, const std::string& pattern,
                      const Args&... args) {
        write(TRACE, name, tag, pattern, args...);
    }
    template <typename... Args>
    static void debug(const std::string& name, const std::string& tag, const std::string& pattern,
                      const Args&... args) {
        write(DEBUG, name, tag, pattern, args...);
    }
    template <typename... Args>
    static void info(const std::string& name, const std::string& tag, const std::string& pattern,
                     const Args&... args) {
        write(INFO, name, tag, pattern, args...);
    }
    template <typename... Args>
    static void warn(const std::string& name, const std::string& tag, const std::string& pattern,
                     const Args&... args) {
        write(WARN, name, tag, pattern, args...);
    }
    template <typename... Args>
    static void error(const std::string& name, const std::string& tag, const std::string& pattern,
                      const Args&... args) {
        write(ERROR, name, tag, pattern, args...);
    }

private:
    template <typename... Args>
    static void write(Level level, const std::string& name, const std::string& tag,
                      const std::string& pattern, const Args&... args) {
        ServiceRegistry& registry = ServiceRegistry::instance();
        if (!registry.isLogged(level)) {
            return;
        }
        // Without values the text is the message itself: a literal "%" must survive.
        std::string message = sizeof...(Args) == 0 ? pattern : format(pattern, args...);
        LoggingService& logger = registry.getLoggingService();
        switch (level) {
            case TRACE:
                logger.trace(name, tag, message);
                break;
            case DEBUG:
                logger.debug(name, tag, message);
                break;
            case INFO:
                logger.info(name, tag, message);
                break;
            case WARN:
                logger.warn(name, tag, message);
                break;
            case ERROR:
                logger.error(name, tag, message);
                break;
        }
    }
};

}  // namespace tarn::client::impl
