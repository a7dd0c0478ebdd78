#include "DelayLine.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "Ipv4Header.h"

namespace tarn::lab::delayline {

namespace {

// The largest packet a TUN device hands over: the IPv4 total length's limit.
constexpr std::size_t kMaxPacketBytes = 65535;
// Packets read per wake-up before the loop looks at the timer again, so a flood cannot hold back what is due.
constexpr int kReadBatch = 64;
// The timer's slack is the kernel's licence to fire late; the lab wants it well under its 1 ms precision.
constexpr unsigned long kTimerSlackNs = 1000;
// Malformed packets logged one by one before the count alone goes on.
constexpr std::uint64_t kMalformedLogged = 5;
constexpr int kMaxEvents = 4;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

FileDescriptor openTun(const std::string& device) {
    FileDescriptor fd(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        fail("open /dev/net/tun");
    }
    ifreq request{};
    if (device.size() >= sizeof(request.ifr_name)) {
        throw std::runtime_error("device name too long: " + device);
    }
    // IFF_NO_PI: the device hands over bare IP packets, with no protocol header in front.
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, device.c_str(), sizeof(request.ifr_name) - 1);
    if (::ioctl(fd.get(), TUNSETIFF, &request) < 0) {
        fail("TUNSETIFF " + device);
    }
    return fd;
}

FileDescriptor blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGUSR1}) {
        sigaddset(&set, s);
    }
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) < 0) {
        fail("sigprocmask");
    }
    FileDescriptor fd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (fd.get() < 0) {
        fail("signalfd");
    }
    return fd;
}

void watch(int poller, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) < 0) {
        fail("epoll_ctl");
    }
}

}  // namespace

DelayLine::DelayLine(const std::string& device, const DelayShape& shape, std::uint32_t seed,
                     unsigned ttlCredit)
    : shape(shape),
      schedule(shape, seed),
      ttlCredit(ttlCredit),
      tun(openTun(device)),
      timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      signals(blockStopSignals()),
      poller(::epoll_create1(EPOLL_CLOEXEC)),
      buffer(kMaxPacketBytes) {
    if (timer.get() < 0 || poller.get() < 0) {
        fail("timerfd/epoll");
    }
    if (::prctl(PR_SET_TIMERSLACK, kTimerSlackNs) < 0) {
        fail("PR_SET_TIMERSLACK");
    }
    for (int fd : {tun.get(), timer.get(), signals.get()}) {
        watch(poller.get(), fd);
    }
}

LineCounters DelayLine::run() {
    std::cout << "ready" << std::endl;
    epoll_event events[kMaxEvents];
    for (;;) {
        // No timeout: the timer is armed for the next deadline whenever anything is queued.
        const int n = ::epoll_wait(poller.get(), events, kMaxEvents, -1);
        if (n < 0 && errno != EINTR) {
            fail("epoll_wait");
        }
        bool stop = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == signals.get()) {
                stop = handleSignals() || stop;
            }
        }
        // Due packets go first: what was read meanwhile cannot be due before them in the same order.
        writeDue();
        readAll();
        writeDue();
        armTimer();
        if (stop) {
            break;
        }
    }
    counters.droppedAtStop = queue.size();
    return counters;
}

void DelayLine::readAll() {
    for (int i = 0; i < kReadBatch; ++i) {
        const ssize_t size = ::read(tun.get(), buffer.data(), buffer.size());
        if (size < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                fail("read from the device");
            }
            return;
        }
        const auto now = Clock::now();
        ++counters.received;
        const HeaderProblem problem = checkIpv4(buffer.data(), static_cast<std::size_t>(size));
        if (problem != HeaderProblem::NONE) {
            if (++counters.malformed <= kMalformedLogged) {
                std::cerr << "tarn-delayline: dropped a " << size << "-byte packet: "
                          << (problem == HeaderProblem::NOT_IPV4 ? "not IPv4" : "truncated IPv4 header")
                          << std::endl;
            }
            continue;
        }
        const Verdict verdict = schedule.admit(now);
        if (verdict.kind == Verdict::Kind::LOST) {
            ++counters.lost;
            continue;
        }
        const auto bytes = static_cast<std::size_t>(size);
        if (queue.size() + 1 > shape.maxPackets || queuedBytes + bytes > shape.maxBytes) {
            ++counters.overflow;
            continue;
        }
        queue.push({verdict.deadline, arrivals++, {buffer.begin(), buffer.begin() + size}});
        queuedBytes += bytes;
        counters.peakPackets = std::max(counters.peakPackets, queue.size());
        counters.peakBytes = std::max(counters.peakBytes, queuedBytes);
    }
}

void DelayLine::writeDue() {
    while (!queue.empty()) {
        const auto now = Clock::now();
        if (queue.top().deadline > now) {
            return;
        }
        // priority_queue::top is const; the packet is moved out just before pop() discards it.
        Held held = std::move(const_cast<Held&>(queue.top()));
        queue.pop();
        queuedBytes -= held.bytes.size();
        creditTtl(held.bytes.data(), ttlCredit);
        if (::write(tun.get(), held.bytes.data(), held.bytes.size()) < 0) {
            ++counters.writeErrors;
            continue;
        }
        ++counters.sent;
        counters.recordLateness(now - held.deadline);
    }
}

void DelayLine::armTimer() {
    itimerspec setting{};
    if (!queue.empty()) {
        const auto since = queue.top().deadline.time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        setting.it_value.tv_sec = static_cast<time_t>(seconds.count());
        setting.it_value.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since - seconds).count());
    }
    // An absolute deadline: a late wake-up never shifts the packets after it. Setting the timer also
    // clears an expiry already served, so epoll does not wake for it again.
    if (::timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &setting, nullptr) < 0) {
        fail("timerfd_settime");
    }
}

bool DelayLine::handleSignals() {
    bool stop = false;
    signalfd_siginfo info{};
    while (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
            std::cout << counters.json() << std::endl;
        } else {
            stop = true;
        }
    }
    return stop;
}

}  // namespace tarn::lab::delayline
