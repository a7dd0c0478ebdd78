#include "tarn/client/impl/util/ManualClock.h"

#include <chrono>
#include <mutex>
#include <stdexcept>

#include <gtest/gtest.h>

namespace {

using tarn::client::impl::util::ManualClock;
using namespace std::chrono_literals;

TEST(ManualClock, SteppingEndsEachWaitAtItsDeadlineAndRethrowsWhatTheWorkThrew) {
    ManualClock clock;
    std::mutex mutex;
    std::condition_variable_any changed;
    const auto start = clock.now();
    bool woken = true;
    clock.runStepping([&] {
        std::unique_lock<std::mutex> lock(mutex);
        woken = clock.waitUntil(changed, lock, start + 90min, [] { return false; });
        clock.sleepUntil(start + 2h);
        // A deadline already passed does not wait, nor move the clock.
        clock.sleepUntil(start + 1h);
    });
    EXPECT_FALSE(woken);
    EXPECT_EQ(2h, clock.now() - start);
    clock.advance(-5s);
    EXPECT_EQ(2h, clock.now() - start);
    EXPECT_THROW(clock.runStepping([] { throw std::runtime_error("work failed"); }), std::runtime_error);
}

}  // namespace
