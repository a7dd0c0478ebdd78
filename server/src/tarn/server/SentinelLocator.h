#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarn/server/SentinelReplies.h"
#include "tarn/server/StoreConnection.h"

namespace tarn {
namespace server {

class Waker;

// Asks the sentinels of a Redis store, in turn, which instance is the master of the given name.
// A connection to each is kept between questions. Owned and used by the store's thread alone.
class SentinelLocator {
public:
    // Resolving a sentinel's name, connecting to it and its answer may each take this long: a
    // sentinel that is down or slow costs no more. It assumes a round trip to the sentinels well
    // under 50 ms (one data centre).
    static constexpr std::chrono::milliseconds kSentinelTimeout{250};

    struct Sentinels {
        // Each sentinel's host (a name, an IPv4 or an IPv6 address) and port.
        std::vector<std::pair<std::string, std::uint16_t>> addresses;
        // The name the sentinels know the master by.
        std::string master;
        // Sent with AUTH to each sentinel when not empty.
        std::string password;
    };

    // stopWaker cuts a question short; it outlives this.
    SentinelLocator(const Sentinels& sentinels, const Waker& stopWaker);

    // The master's address from the first sentinel that names one, starting with the one that
    // answered last; the problem of each sentinel asked when none did.
    sentinel::MasterAddress locate();
    // The master the last answer named could not be used: the next question starts with the next
    // sentinel. A sentinel other than the one that led a failover learns of it only from the
    // others' announcements, a second or two later, and names the old master until then.
    void distrustLastAnswer() { preferred = (preferred + 1) % connections.size(); }
    // How many sentinels there are.
    std::size_t size() const { return connections.size(); }

private:
    std::string master;
    std::vector<std::unique_ptr<StoreConnection>> connections;
    // The sentinel that answered last, asked first next time.
    std::size_t preferred = 0;
};

}  // namespace server
}  // namespace tarn
