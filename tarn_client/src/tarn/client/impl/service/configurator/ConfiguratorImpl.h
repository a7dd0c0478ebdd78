#pragma once

#include <map>
#include <memory>
#include <string>

#include "tarn/client/Configurator.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace configurator {

struct ConfiguratorData;

// The configuration service: a key map loaded from the configuration file at init.
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

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<ConfiguratorData> data;
};

}  // namespace configurator
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
