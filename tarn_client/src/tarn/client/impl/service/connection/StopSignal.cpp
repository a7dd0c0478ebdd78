#include "tarn/client/impl/service/connection/StopSignal.h"

namespace tarn::client::impl::service::connection {

void StopSignal::request() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
    }
    signal.notify_all();
}

void StopSignal::reset() {
    stopped = false;
}

bool StopSignal::requested() const {
    return stopped;
}

void StopSignal::pause(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(mutex);
    signal.wait_for(lock, pause, [this] { return stopped.load(); });
}

}  // namespace tarn::client::impl::service::connection
