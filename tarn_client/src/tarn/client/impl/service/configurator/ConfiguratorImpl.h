#pragma once

#include <istream>
#include <map>
#include <memory>
#include <string>

#include "tarn/client/Configurator.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn::client::impl::service::configurator {

struct ConfiguratorData;

// The configuration service: a flat map of "tarn."-prefixed keys to string values, loaded from
// the configuration file (tarn.cfg in the current directory unless setConfigFile says otherwise)
// at every init. Takes no lock: one thread at a time, normally the host's during start-up.
class ConfiguratorImpl : public AbstractInitializable, public Configurator {
public:
    ConfiguratorImpl();
    ~ConfiguratorImpl() override;

    void setConfigFile(const std::string& path) override;
    long getLong(const std::string& key, long defaultValue, bool storeDefault) override;
    int getInt(const std::string& key, int defaultValue, bool storeDefault) override;
    std::string getString(const std::string& key, const std::string& defaultValue,
                          bool storeDefault) override;
    std::string getString(const std::string& key) override;
    std::map<std::string, std::string>& getValues() override;
    void setValues(const std::map<std::string, std::string>& values) override;
    void setValue(const std::string& key, const std::string& value) override;
    bool hasValue(const std::string& key) override;

    // Adds the declared keys found in the file at path to values, replacing existing entries.
    // Never throws: a missing file or bad content is reported on standard error, and whatever
    // was parsed before the fault is kept.
    static void readConfigFile(const std::string& path, std::map<std::string, std::string>& values);
    // Adds the declared keys of a configuration file's content read from in, as readConfigFile
    // does after opening the file.
    static void readConfig(std::istream& in, std::map<std::string, std::string>& values);

protected:
    // Empties the map and reads the configuration file; always succeeds.
    bool doInit() override;
    // Empties the map; the file path stays.
    void doShutdown() override;

private:
    std::unique_ptr<ConfiguratorData> data;
};

}  // namespace tarn::client::impl::service::configurator
