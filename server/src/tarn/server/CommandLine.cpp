#include "tarn/server/CommandLine.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include <boost/program_options.hpp>

#include "tarn/server/FleetSeal.h"

namespace tarn {
namespace server {

namespace po = boost::program_options;

namespace {

// The environment variables that may carry the shared store's password and its sentinels'.
const char* const kPasswordVariable = "TARN_STORE_PASSWORD";
const char* const kSentinelPasswordVariable = "TARN_SENTINEL_PASSWORD";

// The first line of a file, without its newline; false when it cannot be read.
bool readFirstLine(const std::string& path, std::string& line) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::getline(in, line);
    return true;
}

// Integers are read wide and range-checked here, because a negative number read into an unsigned
// option would silently wrap around.
template <typename T>
bool narrow(const po::variables_map& values, const char* name, long long low, long long high, T& out,
            std::string& message) {
    if (values.count(name) == 0) {
        return true;
    }
    const long long value = values[name].as<long long>();
    if (value < low || value > high) {
        message = std::string("--") + name + " must lie between " + std::to_string(low) + " and " +
                  std::to_string(high) + ", not " + std::to_string(value);
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

std::string number(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

po::options_description describeOptions(const ServerConfig& defaults) {
    po::options_description endpoints(
        "Endpoints (S1 = addr1:port1, S2 = addr1:port2, S3 = addr2:port1, S4 = addr2:port2)");
    endpoints.add_options()("addr1", po::value<std::string>()->value_name("A"),
                            ("first IPv4 address (" + defaults.addr1 + ")").c_str())(
        "addr2", po::value<std::string>()->value_name("B"),
        ("second IPv4 address (" + defaults.addr2 + ")").c_str())(
        "port1", po::value<long long>()->value_name("P"),
        ("first UDP port; 0 picks a free one (" + std::to_string(defaults.port1) + ")").c_str())(
        "port2", po::value<long long>()->value_name("Q"),
        ("second UDP port; 0 picks a free one (" + std::to_string(defaults.port2) + ")").c_str());

    po::options_description limits("Abuse limits");
    limits.add_options()("allow-window", po::value<long long>()->value_name("SECONDS"),
                         ("a relay target must have sent a BIND_REQ within this time (" +
                          std::to_string(defaults.allowWindowSeconds) + ")")
                             .c_str())(
        "allow-table", po::value<long long>()->value_name("N"),
        ("endpoints remembered as relay targets; the oldest are forgotten first (" +
         std::to_string(defaults.allowTableSize) + ")")
            .c_str())(
        "max-targets", po::value<long long>()->value_name("N"),
        ("a PING_RELAY with more targets is refused (" + std::to_string(defaults.maxTargets) + ")").c_str())(
        "max-reflected", po::value<long long>()->value_name("N"),
        ("a PING_RELAY with more reflected addresses is refused (" + std::to_string(defaults.maxReflected) +
         ")")
            .c_str())("bind-rate", po::value<double>()->value_name("PER_S"),
                      ("BIND_REQs per second from one source address; 0 turns the limit off (" +
                       number(defaults.bindRate) + ")")
                          .c_str())(
        "bind-burst", po::value<double>()->value_name("N"),
        ("BIND_REQs one address may send at once (" + number(defaults.bindBurst) + ")").c_str())(
        "relay-rate", po::value<double>()->value_name("PER_S"),
        ("PING_RELAYs per second from one source address; 0 turns the limit off (" +
         number(defaults.relayRate) + ")")
            .c_str())(
        "relay-burst", po::value<double>()->value_name("N"),
        ("PING_RELAYs one address may send at once (" + number(defaults.relayBurst) + ")").c_str())(
        "fleet-rate", po::value<double>()->value_name("PER_S"),
        ("sealed forwards per second from one server of the fleet, exempt from --relay-rate (" +
         number(defaults.fleetRate) + ")")
            .c_str())(
        "fleet-burst", po::value<double>()->value_name("N"),
        ("sealed forwards one server of the fleet may send at once (" + number(defaults.fleetBurst) + ")")
            .c_str())(
        "store-write-rate", po::value<double>()->value_name("PER_S"),
        ("records written to the shared store per second for the sources of one /24; 0 turns the "
         "budget off (" +
         number(defaults.storeWriteRate) + ")")
            .c_str())(
        "store-write-burst", po::value<double>()->value_name("N"),
        ("records of one /24 written at once (" + number(defaults.storeWriteBurst) + ")").c_str())(
        "rate-table", po::value<long long>()->value_name("N"),
        ("source addresses whose rates are tracked (" + std::to_string(defaults.rateTableSize) + ")")
            .c_str());

    po::options_description operation("Operation");
    operation.add_options()("threads", po::value<long long>()->value_name("N"),
                            "worker threads; 0 = one per processor (0)")(
        "batch", po::value<long long>()->value_name("N"),
        ("datagrams read or sent per system call (" + std::to_string(defaults.batch) + ")").c_str())(
        "socket-buffer", po::value<long long>()->value_name("BYTES"),
        ("receive and send buffer per socket; 0 = system default (" + std::to_string(defaults.socketBuffer) +
         ")")
            .c_str())("stats-interval", po::value<long long>()->value_name("SECONDS"),
                      ("print the counters this often; 0 = only at exit (" +
                       std::to_string(defaults.statsIntervalSeconds) + ")")
                          .c_str())("stats-json", po::bool_switch(),
                                    "print the counters as one JSON object per line")(
        "metrics", po::value<std::string>()->value_name("ADDR:PORT"),
        "serve the counters at http://ADDR:PORT/metrics in Prometheus text format; port 0 picks a free "
        "one (off)")("shared-store",
                     po::value<std::string>()->value_name("redis://[:PASSWORD@]HOST:PORT[/DB]"),
                     "share the relay allow-list with the other servers using this Redis store, or the "
                     "master its sentinels name with redis+sentinel://[:PASSWORD@]HOST:PORT[,HOST:PORT...]"
                     "/MASTER[/DB] (off)")(
        "shared-store-password-file", po::value<std::string>()->value_name("FILE"),
        ("the store's password, read from FILE (or the environment variable " +
         std::string(kPasswordVariable) + ") rather than given in the URL")
            .c_str())("shared-store-sentinel-password-file", po::value<std::string>()->value_name("FILE"),
                      ("the sentinels' password, read from FILE (or the environment variable " +
                       std::string(kSentinelPasswordVariable) + ")")
                          .c_str())(
        "fleet-secret-file", po::value<std::string>()->value_name("FILE"),
        "the fleet's secret that seals store records and forwarded relays; the same file on every server "
        "(needed with --shared-store)")(
        "store-wait", po::value<long long>()->value_name("MS"),
        ("how long a relay waits for the shared store's answer before it is dropped (" +
         std::to_string(defaults.storeWaitMs) + ")")
            .c_str())("verbose", po::bool_switch(),
                      "log every dropped datagram (up to 1000 lines a second per worker)")(
        "config", po::value<std::string>()->value_name("FILE"),
        "read options from FILE (\"port1 = 13434\" lines)")("version", "print the version and exit")(
        "help", "show this text");

    po::options_description all;
    all.add(endpoints).add(limits).add(operation);
    return all;
}

// An options error whose text has each placeholder ("%value%", "%canonical_option%", ...)
// replaced once. The library's own what() replaces until none is left, which never ends when the
// text it inserts, such as the value given, holds a placeholder itself: --port1=%value%.
class ErrorText : public po::error_with_option_name {
public:
    explicit ErrorText(const po::error_with_option_name& error) : po::error_with_option_name(error) {}

protected:
    void substitute_placeholders(const std::string& errorTemplate) const override {
        std::map<std::string, std::string> values(m_substitutions);
        values["canonical_option"] = get_canonical_option_name();
        values["prefix"] = get_canonical_option_prefix();
        // A missing value rewords the template, as the library does; both texts are its own.
        std::string text = errorTemplate;
        for (const auto& fallback : m_substitution_defaults) {
            const std::size_t at = text.find(fallback.second.first);
            if (values[fallback.first].empty() && at != std::string::npos) {
                text.replace(at, fallback.second.first.size(), fallback.second.second);
            }
        }
        m_message.clear();
        std::size_t from = 0;
        for (std::size_t open; (open = text.find('%', from)) != std::string::npos;) {
            const std::size_t close = text.find('%', open + 1);
            if (close == std::string::npos) {
                break;
            }
            const auto value = values.find(text.substr(open + 1, close - open - 1));
            if (value == values.end()) {
                // Not a placeholder: its closing sign may open the next one.
                m_message.append(text, from, close - from);
                from = close;
                continue;
            }
            m_message.append(text, from, open - from).append(value->second);
            from = close + 1;
        }
        m_message.append(text, from, std::string::npos);
    }
};

}  // namespace

CommandLine::Outcome CommandLine::parse(int argc, const char* const argv[], ServerConfig& config,
                                        std::string& message) {
    const po::options_description options = describeOptions(ServerConfig{});
    po::variables_map values;
    try {
        po::store(po::command_line_parser(argc, argv).options(options).run(), values);
        if (values.count("help")) {
            std::ostringstream usage;
            usage << "Usage: tarn-rendezvous [options]\n"
                  << "Answers binding requests and relays pings on four UDP endpoints.\n"
                  << options;
            message = usage.str();
            return Outcome::HELP;
        }
        if (values.count("version")) {
            message = std::string("tarn-rendezvous ") + TARN_VERSION + "\n";
            return Outcome::HELP;
        }
        if (values.count("config")) {
            const std::string file = values["config"].as<std::string>();
            std::ifstream in(file);
            if (!in) {
                message = "cannot read the configuration file '" + file + "'";
                return Outcome::ERROR;
            }
            po::store(po::parse_config_file(in, options), values);
        }
        po::notify(values);
    } catch (const po::ambiguous_option& error) {
        message = ErrorText(error).what() + std::string(" and matches");
        for (const auto& alternative : error.alternatives()) {
            message += " '" + alternative + "'";
        }
        return Outcome::ERROR;
    } catch (const po::error_with_option_name& error) {
        message = ErrorText(error).what();
        return Outcome::ERROR;
    } catch (const po::error& error) {
        message = error.what();
        return Outcome::ERROR;
    }

    if (values.count("addr1")) {
        config.addr1 = values["addr1"].as<std::string>();
    }
    if (values.count("addr2")) {
        config.addr2 = values["addr2"].as<std::string>();
    }
    const long long kMaxCount = std::numeric_limits<std::int32_t>::max();
    const bool inRange =
        narrow(values, "port1", 0, 65535, config.port1, message) &&
        narrow(values, "port2", 0, 65535, config.port2, message) &&
        narrow(values, "threads", 0, ServerConfig::kThreadsMax, config.threads, message) &&
        narrow(values, "batch", ServerConfig::kBatchMin, ServerConfig::kBatchMax, config.batch, message) &&
        narrow(values, "socket-buffer", 0, kMaxCount, config.socketBuffer, message) &&
        narrow(values, "allow-window", 1, kMaxCount, config.allowWindowSeconds, message) &&
        narrow(values, "allow-table", ServerConfig::kTableMin, kMaxCount, config.allowTableSize, message) &&
        narrow(values, "max-targets", ServerConfig::kTargetsMin, ServerConfig::kTargetsMax, config.maxTargets,
               message) &&
        narrow(values, "max-reflected", 0, ServerConfig::kReflectedMax, config.maxReflected, message) &&
        narrow(values, "rate-table", ServerConfig::kTableMin, kMaxCount, config.rateTableSize, message) &&
        narrow(values, "stats-interval", 0, kMaxCount, config.statsIntervalSeconds, message) &&
        narrow(values, "store-wait", 1, ServerConfig::kStoreWaitMaxMs, config.storeWaitMs, message);
    if (!inRange) {
        return Outcome::ERROR;
    }
    for (const auto& [name, field] : {std::pair<const char*, double*>{"bind-rate", &config.bindRate},
                                      {"bind-burst", &config.bindBurst},
                                      {"relay-rate", &config.relayRate},
                                      {"relay-burst", &config.relayBurst},
                                      {"fleet-rate", &config.fleetRate},
                                      {"fleet-burst", &config.fleetBurst},
                                      {"store-write-rate", &config.storeWriteRate},
                                      {"store-write-burst", &config.storeWriteBurst}}) {
        if (values.count(name)) {
            *field = values[name].as<double>();
        }
    }
    if (values.count("metrics")) {
        message = config.setMetrics(values["metrics"].as<std::string>());
        if (!message.empty()) {
            return Outcome::ERROR;
        }
    }
    if (values.count("shared-store")) {
        message = config.setSharedStore(values["shared-store"].as<std::string>());
        if (!message.empty()) {
            return Outcome::ERROR;
        }
    }
    // A password kept out of the process list: a file, else the environment, else the URL's.
    if (values.count("shared-store-password-file")) {
        const std::string file = values["shared-store-password-file"].as<std::string>();
        if (!readFirstLine(file, config.storePassword)) {
            message = "--shared-store-password-file '" + file + "' cannot be read";
            return Outcome::ERROR;
        }
    } else if (const char* password = std::getenv(kPasswordVariable); password != nullptr && *password != 0) {
        config.storePassword = password;
    }
    if (values.count("shared-store-sentinel-password-file")) {
        const std::string file = values["shared-store-sentinel-password-file"].as<std::string>();
        if (!readFirstLine(file, config.sentinelPassword)) {
            message = "--shared-store-sentinel-password-file '" + file + "' cannot be read";
            return Outcome::ERROR;
        }
    } else if (const char* password = std::getenv(kSentinelPasswordVariable);
               password != nullptr && *password != 0) {
        config.sentinelPassword = password;
    }
    if (values.count("fleet-secret-file")) {
        message = FleetSeal::readSecret(values["fleet-secret-file"].as<std::string>(), config.fleetSecret);
        if (!message.empty()) {
            return Outcome::ERROR;
        }
    }
    config.statsJson = config.statsJson || values["stats-json"].as<bool>();
    config.verbose = config.verbose || values["verbose"].as<bool>();

    message = config.validate();
    return message.empty() ? Outcome::RUN : Outcome::ERROR;
}

}  // namespace server
}  // namespace tarn
