#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tarn::lattice {

// The library thread of the C interface's _async calls: runs one job at a time, started on the
// first post and kept until stop() or process exit. A job needs no queue: the operation gate
// admits one operation at a time, and a job leaves the gate before it calls the host's done, the
// only place a next post can come from while the thread is busy.
class AsyncRunner {
public:
    // Created after the service registry, so that at exit it stops (and waits for a running job)
    // while the registry still exists.
    static AsyncRunner& instance();
    // The runner when instance() has created it and it is not yet destroyed, else null: stopping
    // must not create the registry, nor touch a runner gone at exit.
    static AsyncRunner* existing();

    ~AsyncRunner();
    AsyncRunner(const AsyncRunner&) = delete;
    AsyncRunner& operator=(const AsyncRunner&) = delete;

    // Hands job to the library thread, starting the thread on first use. False once stopped;
    // throws std::system_error when the thread cannot be started, without keeping the job.
    bool post(std::function<void()> job);
    // Takes no more jobs, lets the running one (and one already posted) finish and joins the
    // thread. Called on the library thread itself (from a job), it only marks the stop: the thread
    // ends after that job and the one it posted, if any.
    void stop();

private:
    AsyncRunner() = default;
    void run();

    std::mutex mutex;              // guards pending and stopping
    std::condition_variable wake;  // signalled when pending is set or stopping becomes true
    std::function<void()> pending;
    bool stopping = false;
    std::mutex threadMutex;  // guards worker and workerId
    std::thread worker;
    // The library thread's id, kept after its std::thread was handed to a join.
    std::thread::id workerId;
    // Held while joining, so that a second stop() returns only once the thread has ended.
    std::mutex joinMutex;
};

}  // namespace tarn::lattice
