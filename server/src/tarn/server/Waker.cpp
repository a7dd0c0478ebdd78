#include "tarn/server/Waker.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace tarn {
namespace server {

Waker::Waker() {
    if (::pipe(fds) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot create a wake-up pipe");
    }
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

Waker::~Waker() {
    ::close(fds[0]);
    ::close(fds[1]);
}

void Waker::wake() {
    const char byte = 1;
    // A full pipe is already readable, so a refused write loses nothing.
    [[maybe_unused]] const auto written = ::write(fds[1], &byte, 1);
}

void Waker::drain() {
    char bytes[64];
    // Non-blocking: ends at the first empty read.
    while (::read(fds[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace server
}  // namespace tarn
