#pragma once

#include "tarn/client/Configurator.h"
#include "tarn/client/impl/ServiceRegistry.h"

namespace tarn {
namespace test {

// The configuration of the library in this process.
inline client::Configurator& config() {
    return client::impl::ServiceRegistry::instance().getConfigurator();
}

}  // namespace test
}  // namespace tarn
