#include "tarn/client/impl/service/portmap/LeaseRules.h"

#include <algorithm>

namespace tarn::client::impl::service::portmap {

LeaseRules::Clock::time_point LeaseRules::renewAt(Clock::time_point grantedAt, std::chrono::seconds lease) {
    return grantedAt +
           std::max<std::chrono::milliseconds>(std::chrono::milliseconds(lease) / 2, std::chrono::seconds(1));
}

bool LeaseRules::epochWentBack(std::uint32_t previousEpoch, Clock::time_point previousAt, std::uint32_t epoch,
                               Clock::time_point at) {
    if (epoch < previousEpoch) {
        return true;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(at - previousAt).count();
    const long long expected =
        static_cast<long long>(previousEpoch) + std::max<long long>(elapsed, 0) * 7 / 8;
    return static_cast<long long>(epoch) + 2 < expected;
}

}  // namespace tarn::client::impl::service::portmap
