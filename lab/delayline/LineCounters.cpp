#include "LineCounters.h"

#include <algorithm>
#include <sstream>

namespace tarn::lab::delayline {

void LineCounters::recordLateness(std::chrono::nanoseconds late) {
    const std::int64_t us =
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(late).count());
    const auto bucket =
        std::lower_bound(kLateBucketsUs.begin(), kLateBucketsUs.end(), us) - kLateBucketsUs.begin();
    ++lateBuckets[static_cast<std::size_t>(bucket)];
    lateMaxUs = std::max(lateMaxUs, us);
    lateSumUs += us;
}

std::string LineCounters::json() const {
    std::ostringstream out;
    out << "{\"received\": " << received << ", \"sent\": " << sent << ", \"lost\": " << lost
        << ", \"overflow\": " << overflow << ", \"malformed\": " << malformed
        << ", \"writeErrors\": " << writeErrors << ", \"droppedAtStop\": " << droppedAtStop
        << ", \"peakPackets\": " << peakPackets << ", \"peakBytes\": " << peakBytes
        << ", \"lateMaxUs\": " << lateMaxUs
        << ", \"lateMeanUs\": " << (sent ? lateSumUs / static_cast<std::int64_t>(sent) : 0)
        << ", \"lateUs\": {";
    for (std::size_t i = 0; i < lateBuckets.size(); ++i) {
        const std::string bound = i < kLateBucketsUs.size() ? "<=" + std::to_string(kLateBucketsUs[i])
                                                            : ">" + std::to_string(kLateBucketsUs.back());
        out << (i ? ", " : "") << '"' << bound << "\": " << lateBuckets[i];
    }
    out << "}}";
    return out.str();
}

}  // namespace tarn::lab::delayline
