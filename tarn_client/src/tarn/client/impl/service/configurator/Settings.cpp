#include "tarn/client/impl/service/configurator/Settings.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "tarn/client/Configurator.h"
#include "tarn/client/impl/Log.h"

namespace tarn::client::impl::service::configurator {

namespace {

using Listing = Settings::Setting::Listing;

// Any value the 32-bit reading lets through.
constexpr long kAnyLow = std::numeric_limits<std::int32_t>::min();
constexpr long kAnyHigh = std::numeric_limits<std::int32_t>::max();

// The default as a number; a key without one reads as 0.
long defaultNumber(const Settings::Setting& setting) {
    return setting.defaultText != nullptr ? std::strtol(setting.defaultText, nullptr, 10) : 0;
}

}  // namespace

// The rendezvous service: two hosts, two ports each.
const Settings::Setting Settings::kAddr1{"tarn.addr.1", nullptr, Listing::WHEN_SET, kAnyLow, kAnyHigh};
const Settings::Setting Settings::kPort1{"tarn.port.1", "13434", Listing::WITH_DEFAULT, kAnyLow, kAnyHigh};
const Settings::Setting Settings::kAddr2{"tarn.addr.2", nullptr, Listing::WHEN_SET, kAnyLow, kAnyHigh};
const Settings::Setting Settings::kPort2{"tarn.port.2", "13435", Listing::WITH_DEFAULT, kAnyLow, kAnyHigh};
// Below 0 discovery would send nothing at all. Above 10 a silent rendezvous service holds a discovery
// request, and a silent peer a pass, for 11 waits or more (5.5 s at the default 500 ms), and retries + 1
// must never overflow.
const Settings::Setting Settings::kRetries{"tarn.retries", "2", Listing::WITH_DEFAULT, 0, 10};
const Settings::Setting Settings::kTimeoutDiscovery{"tarn.timeout.discovery", "500", Listing::WITH_DEFAULT,
                                                    kAnyLow, kAnyHigh};
const Settings::Setting Settings::kTriggerDiscovery{"tarn.trigger.discovery", "2", Listing::WITH_DEFAULT,
                                                    kAnyLow, kAnyHigh};
// The two additions that change the order of datagrams are listed only when a host turns them on.
const Settings::Setting Settings::kDiscoveryOverlap{"tarn.discovery.overlap", "0", Listing::WHEN_SET, kAnyLow,
                                                    kAnyHigh};
const Settings::Setting Settings::kTimeoutPrivate{"tarn.timeout.private", "500", Listing::WITH_DEFAULT,
                                                  kAnyLow, kAnyHigh};
const Settings::Setting Settings::kTimeoutNat{"tarn.timeout.nat", "500", Listing::WITH_DEFAULT, kAnyLow,
                                              kAnyHigh};
const Settings::Setting Settings::kTimeoutNatSym{"tarn.timeout.nat.sym", "500", Listing::WITH_DEFAULT,
                                                 kAnyLow, kAnyHigh};
const Settings::Setting Settings::kConnectOverlap{"tarn.connect.overlap", "0", Listing::WHEN_SET, kAnyLow,
                                                  kAnyHigh};
// Any value but 0 asks the router for a port mapping; listed only when a host sets it.
const Settings::Setting Settings::kPortmap{"tarn.portmap", "1", Listing::WHEN_SET, kAnyLow, kAnyHigh};
// The rendezvous server refuses a relay request naming more than 64 addresses, and above about 125
// neither the ping nor the relay request fits a datagram buffer.
const Settings::Setting Settings::kCandidateAddrs{"tarn.candidate_addrs", "30", Listing::WITH_DEFAULT, 1, 64};
// No stored default: an absent or unknown level name keeps the level the logging service has.
const Settings::Setting Settings::kLogLevel{"tarn.loglevel", nullptr, Listing::WHEN_SET, kAnyLow, kAnyHigh};
// Presence alone counts, whatever the value.
const Settings::Setting Settings::kDebug{"tarn.debug", nullptr, Listing::WHEN_SET, kAnyLow, kAnyHigh};
const Settings::Setting Settings::kLogDir{"tarn.logdir", "./", Listing::WITH_DEFAULT, kAnyLow, kAnyHigh};
const Settings::Setting Settings::kLogName{"tarn.logname", "tarn.log", Listing::WITH_DEFAULT, kAnyLow,
                                           kAnyHigh};
const Settings::Setting Settings::kLogConsole{"tarn.logconsole", "1", Listing::WHEN_SET, kAnyLow, kAnyHigh};

const std::vector<const Settings::Setting*>& Settings::all() {
    static const std::vector<const Setting*> rows = {
        &kAddr1,         &kPort1,          &kAddr2,          &kPort2,      &kRetries,
        &kTimeoutDiscovery, &kTriggerDiscovery, &kDiscoveryOverlap, &kTimeoutPrivate, &kTimeoutNat,
        &kTimeoutNatSym, &kConnectOverlap, &kPortmap, &kCandidateAddrs, &kLogLevel,   &kDebug,
        &kLogDir,        &kLogName,        &kLogConsole,
    };
    return rows;
}

long Settings::Setting::number(Configurator& config) const {
    return config.getLong(key, defaultNumber(*this), listing == Listing::WITH_DEFAULT);
}

long Settings::Setting::peek(Configurator& config) const {
    return config.getLong(key, defaultNumber(*this), false);
}

long Settings::Setting::clamped(Configurator& config, const std::string& logger, const char* tag) const {
    const long value = number(config);
    const long used = std::clamp(value, min, max);
    if (used != value) {
        Log::warn(logger, tag, "%1% = %2% is outside %3%..%4%; using %5%", key, value, min, max, used);
        config.setValue(key, std::to_string(used));
    }
    return used;
}

std::chrono::milliseconds Settings::Setting::milliseconds(Configurator& config) const {
    return std::chrono::milliseconds(number(config));
}

std::chrono::minutes Settings::Setting::minutes(Configurator& config) const {
    return std::chrono::minutes(number(config));
}

bool Settings::Setting::on(Configurator& config) const {
    return number(config) == 1;
}

std::string Settings::Setting::text(Configurator& config) const {
    return config.getString(key, defaultText != nullptr ? defaultText : "", listing == Listing::WITH_DEFAULT);
}

bool Settings::Setting::present(Configurator& config) const {
    return config.hasValue(key);
}

}  // namespace tarn::client::impl::service::configurator
