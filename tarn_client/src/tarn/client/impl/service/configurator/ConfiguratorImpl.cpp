#include "tarn/client/impl/service/configurator/ConfiguratorImpl.h"

#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <limits>
#include <locale>
#include <sstream>

#include <boost/any.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options/errors.hpp>
#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/program_options/variables_map.hpp>
#include <boost/system/error_code.hpp>

#include "tarn/client/impl/service/configurator/Settings.h"

namespace tarn::client::impl::service::configurator {

namespace {
const char* const kKeyPrefix = "tarn.";
const char* const kDefaultConfigFile = "tarn.cfg";
const unsigned kOptionsLineLength = 80;

// The leading decimal number of text; 0 when there is none or it leaves the 32-bit range, so a
// typo never turns into a huge time-out or port.
long readNumber(const std::string& text) {
    std::istringstream in(text);
    // A host may install a global locale with digit grouping; configuration files do not use it.
    in.imbue(std::locale::classic());
    long long value = 0;
    if (!(in >> value) || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return 0;
    }
    return static_cast<long>(value);
}
}  // namespace

struct ConfiguratorData {
    std::map<std::string, std::string> values;
    std::string configFile = kDefaultConfigFile;
};

ConfiguratorImpl::ConfiguratorImpl() : data(new ConfiguratorData) {}

ConfiguratorImpl::~ConfiguratorImpl() = default;

void ConfiguratorImpl::setConfigFile(const std::string& path) {
    data->configFile = path;
}

long ConfiguratorImpl::getLong(const std::string& key, long defaultValue, bool storeDefault) {
    auto found = data->values.find(key);
    if (found == data->values.end()) {
        if (storeDefault) {
            data->values[key] = std::to_string(defaultValue);
        }
        return defaultValue;
    }
    return readNumber(found->second);
}

int ConfiguratorImpl::getInt(const std::string& key, int defaultValue, bool storeDefault) {
    // readNumber keeps to the 32-bit range, so the narrowing is exact.
    return static_cast<int>(getLong(key, defaultValue, storeDefault));
}

std::string ConfiguratorImpl::getString(const std::string& key, const std::string& defaultValue,
                                        bool storeDefault) {
    auto found = data->values.find(key);
    if (found == data->values.end()) {
        if (storeDefault) {
            data->values[key] = defaultValue;
        }
        return defaultValue;
    }
    return found->second;
}

std::string ConfiguratorImpl::getString(const std::string& key) {
    return getString(key, "", false);
}

std::map<std::string, std::string>& ConfiguratorImpl::getValues() {
    return data->values;
}

void ConfiguratorImpl::setValues(const std::map<std::string, std::string>& values) {
    for (const auto& entry : values) {
        data->values[entry.first] = entry.second;
    }
}

void ConfiguratorImpl::setValue(const std::string& key, const std::string& value) {
    data->values[key] = value;
}

bool ConfiguratorImpl::hasValue(const std::string& key) {
    return data->values.count(key) != 0;
}

void ConfiguratorImpl::readConfigFile(const std::string& path, std::map<std::string, std::string>& values) {
    // A directory opens on this platform but reads as empty; say so instead of pretending.
    boost::system::error_code ignored;
    std::ifstream file;
    if (!boost::filesystem::is_directory(path, ignored)) {
        file.open(path);
    }
    if (!file.is_open()) {
        std::cerr << "Cannot read '" << path << "'" << std::endl;
        return;
    }

    std::cout << "Reading in config values from '" << path << "'" << std::endl;
    readConfig(file, values);
}

void ConfiguratorImpl::readConfig(std::istream& in, std::map<std::string, std::string>& values) {
    namespace po = boost::program_options;

    po::options_description description("Cfg options", kOptionsLineLength);
    // Only the keys the library reads; other names in the file are skipped.
    for (const Settings::Setting* setting : Settings::all()) {
        description.add_options()(setting->key, po::value<std::string>(), "");
    }

    // store() fills the map option by option, so after a repeated key the earlier ones remain.
    po::variables_map parsed;
    try {
        po::store(po::parse_config_file(in, description, true), parsed);
        po::notify(parsed);
    } catch (const po::invalid_config_file_syntax& e) {
        // Not e.what(): it substitutes the line into its text until no "%invalid_line%" is left,
        // which never ends for a line that holds that placeholder itself.
        std::cerr << "Error during options parsing: the options configuration file contains an invalid line '"
                  << e.tokens() << "'" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "Error during options parsing: " << e.what() << std::endl;
    }

    const std::string prefix = kKeyPrefix;
    for (const auto& entry : parsed) {
        const std::string* text = boost::any_cast<std::string>(&entry.second.value());
        if (text != nullptr && entry.first.compare(0, prefix.size(), prefix) == 0) {
            values[entry.first] = *text;
        }
    }
}

bool ConfiguratorImpl::doInit() {
    data->values.clear();
    readConfigFile(data->configFile, data->values);
    return true;
}

void ConfiguratorImpl::doShutdown() {
    data->values.clear();
}

}  // namespace tarn::client::impl::service::configurator
