#include "DelaySchedule.h"

#include <algorithm>

namespace tarn::lab::delayline {

DelaySchedule::DelaySchedule(const DelayShape& shape, std::uint32_t seed) : shape(shape), random(seed) {}

Verdict DelaySchedule::admit(Clock::time_point now) {
    if (draw(shape.lossPercent)) {
        return {Verdict::Kind::LOST, {}};
    }
    Duration held = shape.delay;
    if (shape.jitter.count() > 0) {
        std::uniform_int_distribution<Duration::rep> spread(-shape.jitter.count(), shape.jitter.count());
        held = std::max(Duration{0}, held + Duration{spread(random)});
    }
    if (draw(shape.reorderPercent)) {
        // Left out of the order bound both ways: it neither waits for earlier packets nor holds later ones.
        return {Verdict::Kind::QUEUE, now + held + shape.reorderGap};
    }
    lastInOrder = std::max(lastInOrder, now + held);
    return {Verdict::Kind::QUEUE, lastInOrder};
}

bool DelaySchedule::draw(double percent) {
    if (percent <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0, 100)(random) < percent;
}

}  // namespace tarn::lab::delayline
