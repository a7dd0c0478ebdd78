#include "tarn/client/impl/util/RttEstimator.h"

#include <algorithm>

namespace tarn::client::impl::util {

void RttEstimator::addSample(Duration sample) {
    sample = std::max(sample, Duration(0));
    if (samples++ == 0) {
        srtt = sample;
        rttvar = sample / 2;
        return;
    }
    const Duration difference = srtt > sample ? srtt - sample : sample - srtt;
    rttvar = (3 * rttvar + difference) / 4;
    srtt = (7 * srtt + sample) / 8;
}

RttEstimator::Duration RttEstimator::timeout() const {
    return srtt + std::max(kClockGranularity, 4 * rttvar);
}

}  // namespace tarn::client::impl::util
