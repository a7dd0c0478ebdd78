#pragma once

#include <cstdint>
#include <queue>
#include <string>
#include <vector>

#include "DelaySchedule.h"
#include "FileDescriptor.h"
#include "LineCounters.h"

namespace tarn::lab::delayline {

/// Reads IP packets from a TUN device and writes them back to it when the schedule says: one thread,
/// one epoll set of the device, an absolute timer and the stop signals. No packet owns a thread or a timer.
class DelayLine {
public:
    /// Attaches to (or creates) the TUN device `device`; throws std::runtime_error with the failing call.
    DelayLine(const std::string& device, const DelayShape& shape, std::uint32_t seed, unsigned ttlCredit);

    /// Runs until SIGTERM or SIGINT; SIGUSR1 prints the counters as one JSON line to stdout and goes on.
    /// Returns the counters at the end (what is still queued then is counted as dropped at stop).
    LineCounters run();

private:
    struct Held {
        Clock::time_point deadline;
        std::uint64_t order;  ///< arrival number: equal deadlines leave in arrival order
        std::vector<std::uint8_t> bytes;
    };
    struct LeavesLater {
        bool operator()(const Held& a, const Held& b) const {
            return a.deadline != b.deadline ? a.deadline > b.deadline : a.order > b.order;
        }
    };

    void readAll();
    void writeDue();
    void armTimer();
    bool handleSignals();

    DelayShape shape;
    DelaySchedule schedule;
    unsigned ttlCredit;
    FileDescriptor tun;
    FileDescriptor timer;
    FileDescriptor signals;
    FileDescriptor poller;
    std::priority_queue<Held, std::vector<Held>, LeavesLater> queue;
    std::vector<std::uint8_t> buffer;  ///< one read's bytes, before they are copied into the queue
    std::size_t queuedBytes = 0;
    std::uint64_t arrivals = 0;
    LineCounters counters;
};

}  // namespace tarn::lab::delayline
