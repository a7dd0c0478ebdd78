#include "tarn/lattice/AsyncRunner.h"

#include <atomic>
#include <stdexcept>
#include <utility>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/lattice/OperationGate.h"

namespace tarn::lattice {

using client::impl::Log;
using client::impl::ServiceRegistry;

namespace {
std::atomic<AsyncRunner*> created{nullptr};
}  // namespace

AsyncRunner& AsyncRunner::instance() {
    ServiceRegistry::instance();
    static AsyncRunner runner;
    created.store(&runner);
    return runner;
}

AsyncRunner* AsyncRunner::existing() {
    return created.load();
}

AsyncRunner::~AsyncRunner() {
    created.store(nullptr);
    stop();
    // Still joinable only when the process exits from a job (a done that calls exit): the thread
    // cannot join itself.
    if (worker.joinable()) {
        worker.detach();
    }
}

bool AsyncRunner::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> threadLock(threadMutex);
        if (!worker.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) {
                    return false;
                }
            }
            // The library thread logs: the logging service starts here, on the caller's thread,
            // and the locale's lazily filled cache is filled before a second thread reads it.
            ServiceRegistry::instance().getLoggingService();
            Log::fillNarrowCache();
            worker = std::thread(&AsyncRunner::run, this);
            workerId = worker.get_id();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) {
        return false;
    }
    if (pending) {
        throw std::logic_error("AsyncRunner: a job is already waiting");
    }
    pending = std::move(job);
    wake.notify_one();
    return true;
}

void AsyncRunner::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    std::unique_lock<std::mutex> threadLock(threadMutex);
    if (workerId == std::this_thread::get_id()) {
        return;
    }
    std::thread ending = std::move(worker);
    // Joined outside threadMutex: the running job may post (its done starting the next
    // operation), which must find the runner stopped rather than wait for this join.
    threadLock.unlock();
    std::lock_guard<std::mutex> joinLock(joinMutex);
    if (ending.joinable()) {
        ending.join();
    }
}

void AsyncRunner::run() {
    // A shutdown called here (from done) must not wait for a job that only this thread can run.
    const OperationGate::Running libraryThread;
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || pending; });
            // A job posted before the stop still runs: its caller was told done would follow.
            if (!pending) {
                return;
            }
            job = std::move(pending);
            pending = nullptr;
        }
        job();
    }
}

}  // namespace tarn::lattice
