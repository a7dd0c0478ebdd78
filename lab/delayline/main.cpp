// tarn-delayline: holds every IP packet that the kernel routes into a TUN device for a one-way delay, then
// writes it back to the device. The lab runs one in each delayed site's ISP hop.
//   tarn-delayline --dev NAME --delay MS [--jitter MS] [--loss PCT] [--reorder PCT] [--reorder-gap MS]
//                  [--max-packets N] [--max-bytes N] [--ttl-credit N] [--seed N] [--realtime PRIORITY]
// Prints "ready" once attached, one JSON line of counters on SIGUSR1, and the final counters on SIGTERM.
#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

#include "DelayLine.h"

namespace {

using tarn::lab::delayline::DelayShape;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// The kernel forwards a packet into the device and again out of it: one decrement to give back.
constexpr unsigned kDefaultTtlCredit = 1;
// Delays beyond this are a typing error, not a path on this planet.
constexpr double kMaxDelayMs = 60000;
constexpr double kMaxRealtimePriority = 99;

double number(const std::string& option, const std::string& text, double low, double high) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || !(value >= low && value <= high)) {
        throw std::invalid_argument(option + " takes a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

// A real-time thread wakes on its deadline even while every core compiles; the line sleeps between
// packets, and the kernel's real-time throttling bounds what a runaway could take.
void runRealtime(int priority) {
    sched_param param{};
    param.sched_priority = priority;
    if (::sched_setscheduler(0, SCHED_FIFO, &param) < 0) {
        throw std::runtime_error(std::string("sched_setscheduler SCHED_FIFO: ") + std::strerror(errno));
    }
}

std::chrono::nanoseconds millis(double ms) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ms * 1e6));
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::cerr << "tarn-delayline: expected --option VALUE pairs, got '" << option << "'" << std::endl;
            return kExitUsage;
        }
        given[option] = argv[++i];
    }
    DelayShape shape;
    std::string device;
    std::uint32_t seed = 1;
    unsigned ttlCredit = kDefaultTtlCredit;
    int realtime = 0;
    try {
        for (const auto& [option, value] : given) {
            if (option == "--dev") {
                device = value;
            } else if (option == "--delay") {
                shape.delay = millis(number(option, value, 0, kMaxDelayMs));
            } else if (option == "--jitter") {
                shape.jitter = millis(number(option, value, 0, kMaxDelayMs));
            } else if (option == "--loss") {
                shape.lossPercent = number(option, value, 0, 100);
            } else if (option == "--reorder") {
                shape.reorderPercent = number(option, value, 0, 100);
            } else if (option == "--reorder-gap") {
                shape.reorderGap = millis(number(option, value, 0, kMaxDelayMs));
            } else if (option == "--max-packets") {
                shape.maxPackets = static_cast<std::size_t>(number(option, value, 1, 1e6));
            } else if (option == "--max-bytes") {
                shape.maxBytes = static_cast<std::size_t>(number(option, value, 65535, 1e9));
            } else if (option == "--ttl-credit") {
                ttlCredit = static_cast<unsigned>(number(option, value, 0, 2));
            } else if (option == "--realtime") {
                realtime = static_cast<int>(number(option, value, 0, kMaxRealtimePriority));
            } else if (option == "--seed") {
                seed = static_cast<std::uint32_t>(number(option, value, 0, 4294967295.0));
            } else {
                throw std::invalid_argument("unknown option " + option);
            }
        }
        if (device.empty()) {
            throw std::invalid_argument("--dev NAME is required");
        }
    } catch (const std::invalid_argument& e) {
        std::cerr << "tarn-delayline: " << e.what() << std::endl;
        return kExitUsage;
    }
    try {
        tarn::lab::delayline::DelayLine line(device, shape, seed, ttlCredit);
        if (realtime > 0) {
            runRealtime(realtime);
        }
        std::cout << line.run().json() << std::endl;
    } catch (const std::runtime_error& e) {
        std::cerr << "tarn-delayline: " << e.what() << std::endl;
        return kExitFailure;
    }
    return EXIT_SUCCESS;
}
