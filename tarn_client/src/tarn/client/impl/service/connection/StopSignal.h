#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarn::client::impl::service::connection {

// A stop request from the pass thread to the listener thread, which checks it once per turn and
// may pause without missing it.
class StopSignal {
public:
    void request();
    void reset();
    bool requested() const;
    // Waits up to pause, returning early once a stop is requested.
    void pause(std::chrono::milliseconds pause);

private:
    std::atomic<bool> stopped{false};
    // Pairs with signal, so that a request cannot slip in between a pause's check and its wait.
    std::mutex mutex;
    std::condition_variable signal;
};

}  // namespace tarn::client::impl::service::connection
