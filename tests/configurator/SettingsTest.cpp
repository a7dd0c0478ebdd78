#include "tarn/client/impl/service/configurator/Settings.h"

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "TestLog.h"
#include "tarn/client/impl/service/configurator/ConfiguratorImpl.h"

using tarn::client::impl::service::configurator::ConfiguratorImpl;
using tarn::client::impl::service::configurator::Settings;
using tarn::test::TestLog;

namespace {

using Setting = Settings::Setting;
using Read = std::function<std::string(const Setting&, ConfiguratorImpl&)>;

const Read kNumber = [](const Setting& s, ConfiguratorImpl& c) { return std::to_string(s.number(c)); };
const Read kPeek = [](const Setting& s, ConfiguratorImpl& c) { return std::to_string(s.peek(c)); };
const Read kClamped = [](const Setting& s, ConfiguratorImpl& c) {
    return std::to_string(s.clamped(c, "test.settings", "clampTag"));
};
const Read kMs = [](const Setting& s, ConfiguratorImpl& c) { return std::to_string(s.milliseconds(c).count()); };
const Read kOn = [](const Setting& s, ConfiguratorImpl& c) { return std::string(s.on(c) ? "on" : "off"); };
const Read kText = [](const Setting& s, ConfiguratorImpl& c) { return s.text(c); };
const Read kPresent = [](const Setting& s, ConfiguratorImpl& c) { return std::string(s.present(c) ? "yes" : "no"); };

}  // namespace

// What a reader gives, what it leaves in the configurator (the start-up checkpoint lists exactly
// that) and what it logs, for absent, odd and out-of-bounds values.
TEST(Settings, ReadersKeepDefaultsListingAndBounds) {
    TestLog log;
    struct Row {
        const char* label;
        const Setting& setting;
        const char* given;  // nullptr: absent
        Read read;
        std::string result;
        const char* stored;  // nullptr: left absent
        const char* warning;  // nullptr: none
    };
    const Row rows[] = {
        {"absent wait: default, listed", Settings::kTimeoutNat, nullptr, kMs, "500", "500", nullptr},
        {"a second reader lists nothing", Settings::kPort1, nullptr, kPeek, "13434", nullptr, nullptr},
        {"unit after the number", Settings::kTimeoutPrivate, "750ms", kMs, "750", "750ms", nullptr},
        {"text instead of a number is 0", Settings::kTimeoutDiscovery, "fast", kMs, "0", "fast", nullptr},
        {"beyond 32 bits is 0", Settings::kPort2, "99999999999", kNumber, "0", "99999999999", nullptr},
        {"below the range", Settings::kRetries, "-3", kClamped, "0", "0",
         "[test.settings:clampTag] tarn.retries = -3 is outside 0..10; using 0"},
        {"retries + 1 must not overflow", Settings::kRetries, "2147483647", kClamped, "10", "10",
         "[test.settings:clampTag] tarn.retries = 2147483647 is outside 0..10; using 10"},
        {"above the range", Settings::kCandidateAddrs, "99", kClamped, "64", "64",
         "[test.settings:clampTag] tarn.candidate_addrs = 99 is outside 1..64; using 64"},
        {"text clamps from 0", Settings::kCandidateAddrs, "many", kClamped, "1", "1",
         "[test.settings:clampTag] tarn.candidate_addrs = 0 is outside 1..64; using 1"},
        {"inside the range stays as written", Settings::kCandidateAddrs, "12 ", kClamped, "12", "12 ", nullptr},
        {"absent, clamped reader lists the default", Settings::kCandidateAddrs, nullptr, kClamped, "30", "30",
         nullptr},
        {"a switch off by default is not listed", Settings::kConnectOverlap, nullptr, kOn, "off", nullptr, nullptr},
        {"only 1 turns a switch on", Settings::kDiscoveryOverlap, "2", kOn, "off", "2", nullptr},
        {"console copy absent is on, unlisted", Settings::kLogConsole, nullptr, kNumber, "1", nullptr, nullptr},
        {"text default listed", Settings::kLogDir, nullptr, kText, "./", "./", nullptr},
        {"text without default", Settings::kLogLevel, nullptr, kText, "", nullptr, nullptr},
        {"presence: even 0 counts", Settings::kDebug, "0", kPresent, "yes", "0", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        ConfiguratorImpl config;
        if (row.given != nullptr) {
            config.setValue(row.setting.key, row.given);
        }
        EXPECT_EQ(row.read(row.setting, config), row.result);
        EXPECT_EQ(config.hasValue(row.setting.key), row.stored != nullptr);
        if (row.stored != nullptr) {
            EXPECT_EQ(config.getString(row.setting.key), row.stored);
        }
        if (row.warning != nullptr) {
            EXPECT_TRUE(log.contains(row.warning)) << log.text();
        }
    }
    // One WARN per clamped value, none for the rest.
    EXPECT_EQ(log.count("[WARN] "), 4);
}

// README's configuration table and the settings cannot drift: the same keys, and every default
// the table has is the one the README states first.
TEST(Settings, ReadmeTableListsEveryKeyWithItsDefault) {
    std::ifstream readme(TARN_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme.is_open());
    const std::regex row(R"(^\| `(tarn\.[a-z0-9_.]+)` \| ([^|]*) \|)");
    std::map<std::string, std::string> documented;
    for (std::string line; std::getline(readme, line);) {
        std::smatch match;
        if (std::regex_search(line, match, row)) {
            documented[match[1]] = match[2];
        }
    }
    std::set<std::string> declared;
    for (const Setting* setting : Settings::all()) {
        declared.insert(setting->key);
        const auto found = documented.find(setting->key);
        ASSERT_NE(found, documented.end()) << setting->key << " is missing from README";
        if (setting->defaultText != nullptr) {
            const std::string shown = found->second;
            EXPECT_TRUE(shown.rfind(setting->defaultText, 0) == 0 ||
                        shown.rfind("`" + std::string(setting->defaultText) + "`", 0) == 0)
                << setting->key << ": README says '" << shown << "', the library " << setting->defaultText;
        }
    }
    for (const auto& entry : documented) {
        EXPECT_EQ(declared.count(entry.first), 1U) << entry.first << " is documented but not read";
    }
}
