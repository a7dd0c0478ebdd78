#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tarn::client {
class Configurator;
}

namespace tarn::client::impl::service::configurator {

// Every configuration key the library reads, one row each: its name, its default, its bounds and
// what happens to a value outside them. The configuration file accepts exactly these keys, and the
// engines read them only through these rows, so a new key is one row here plus its use.
class Settings {
public:
    // One key. Rows are constants below; the readers take the live configurator, so a value a host
    // sets before an engine's init counts.
    struct Setting {
        // Whether the start-up checkpoint lists the key while nobody set it: the reader stores the
        // default back into the configurator, where the checkpoint finds it.
        enum class Listing { WITH_DEFAULT, WHEN_SET };

        // The full name, "tarn." included.
        const char* key;
        // The default as text ("500", "./"); nullptr for a key without one (its readers give 0 or "").
        const char* defaultText;
        Listing listing;
        // Numbers only: a value outside [min, max] is clamped by clamped(), with a WARN, and the
        // clamped value is stored back so the checkpoint shows the value in use.
        long min;
        long max;

        // The leading decimal number of the value; the default when absent; 0 for text that does
        // not start with a number or leaves the 32-bit range.
        long number(Configurator& config) const;
        // number() without storing the default, for a second reader of a key that its first reader
        // lists (or leaves out) already.
        long peek(Configurator& config) const;
        // number() held to [min, max]; a value outside is logged at WARN under (logger, tag) as
        // "<key> = <value> is outside <min>..<max>; using <clamped>", and the clamped value is
        // stored back.
        long clamped(Configurator& config, const std::string& logger, const char* tag) const;
        // number() as milliseconds, for the wait keys.
        std::chrono::milliseconds milliseconds(Configurator& config) const;
        // number() as minutes, for the age keys.
        std::chrono::minutes minutes(Configurator& config) const;
        // Whether the value is 1, for the switches that only 1 turns on.
        bool on(Configurator& config) const;
        // The value as text; the default (or "") when absent.
        std::string text(Configurator& config) const;
        // Whether the key is set at all, whatever its value (even empty or 0).
        bool present(Configurator& config) const;
    };

    static const Setting kAddr1;
    static const Setting kPort1;
    static const Setting kAddr2;
    static const Setting kPort2;
    static const Setting kRetries;
    static const Setting kTimeoutDiscovery;
    static const Setting kTriggerDiscovery;
    static const Setting kDiscoveryOverlap;
    static const Setting kTimeoutPrivate;
    static const Setting kTimeoutNat;
    static const Setting kTimeoutNatSym;
    static const Setting kConnectOverlap;
    static const Setting kPortmap;
    static const Setting kCandidateAddrs;
    static const Setting kLogLevel;
    static const Setting kDebug;
    static const Setting kLogDir;
    static const Setting kLogName;
    static const Setting kLogConsole;

    // Every row above, in the order README's configuration table lists them.
    static const std::vector<const Setting*>& all();
};

}  // namespace tarn::client::impl::service::configurator
