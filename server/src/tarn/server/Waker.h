#pragma once

namespace tarn {
namespace server {

// A pipe whose read end a worker polls next to its sockets, so that another thread can end the
// worker's wait at once instead of the worker polling with a time-out.
class Waker {
public:
    // Throws std::system_error when the pipe cannot be made.
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    // The descriptor to poll for readability.
    int fd() const { return fds[0]; }
    // Makes fd() readable; safe from any thread, any number of times.
    void wake();
    // Makes fd() unreadable again until the next wake(); by the thread that polls it.
    void drain();

private:
    int fds[2] = {-1, -1};
};

}  // namespace server
}  // namespace tarn
