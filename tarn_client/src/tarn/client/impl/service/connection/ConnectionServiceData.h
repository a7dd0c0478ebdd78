#pragma once

#include <cstdint>

#include "tarn/client/impl/service/connection/Discoveror.h"
#include "tarn/client/impl/service/connection/NonSymmetricConnector.h"
#include "tarn/client/impl/service/connection/PrivateNetworkConnector.h"
#include "tarn/client/impl/service/connection/SymmetricConnector.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/SteadyClock.h"

namespace tarn::client::impl::service::connection {

// The engines of the connection service, constructed in this order and destroyed in reverse.
struct ConnectionServiceData {
    // The time of discovery and of every pass.
    util::Clock& clock = util::SteadyClock::instance();
    Discoveror discoveror{clock};
    PrivateNetworkConnector privateConnector;
    NonSymmetricConnector natConnector;
    SymmetricConnector symNatConnector;
    // Extra rounds of the public phase.
    std::int32_t retries = 2;
    // tarn.connect.overlap = 1: the pass pings every way at once (PassPlan) instead of the
    // documented private phase and then public phase.
    bool overlap = false;
    // The documented order's public rounds outgrew their configured wait, and a WARN line said so.
    bool roundGrowthNoted = false;
};

}  // namespace tarn::client::impl::service::connection
