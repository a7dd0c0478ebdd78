// Reads the bytes as the content of a configuration file, then every value as the library reads
// numbers. Only declared keys may come out of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "tarn/client/impl/service/configurator/ConfiguratorImpl.h"

using tarn::client::impl::service::configurator::ConfiguratorImpl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream content(std::string(reinterpret_cast<const char*>(data), size));
    std::map<std::string, std::string> values;
    ConfiguratorImpl::readConfig(content, values);

    ConfiguratorImpl config;
    config.setValues(values);
    for (const auto& entry : values) {
        if (entry.first.compare(0, 5, "tarn.") != 0) {
            std::abort();
        }
        config.getLong(entry.first, 0, false);
        config.getInt(entry.first, 0, false);
    }
    return 0;
}
