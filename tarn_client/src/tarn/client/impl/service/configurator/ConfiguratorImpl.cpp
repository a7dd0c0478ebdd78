#include "tarn/client/impl/service/configurator/ConfiguratorImpl.h"

#include <limits>
#include <sstream>

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace configurator {

struct ConfiguratorData {
    std::map<std::string, std::string> values;
    std::string configFile = "tarn.cfg";
};

namespace {
long readNumber(const std::string& text) {
    std::istringstream in(text);
    long long value = 0;
    if (!(in >> value) || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return 0;
    }
    return static_cast<long>(value);
}
}  // namespace

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

bool ConfiguratorImpl::doInit() {
    data->values.clear();
    return true;
}

void ConfiguratorImpl::doShutdown() {
    data->values.clear();
}

}  // namespace configurator
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
