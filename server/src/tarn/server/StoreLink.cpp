#include "tarn/server/StoreLink.h"

#include <utility>

namespace tarn {
namespace server {

StoreLink::StoreLink(SharedStore& store, AllowList& allowList, std::chrono::milliseconds wait)
    : store_(store), allowList_(allowList), wait_(wait) {}

void StoreLink::write(const Endpoint& endpoint, const Endpoint& server) {
    writes_.push_back({AllowList::keyOf(endpoint), AllowList::keyOf(server)});
}

bool StoreLink::park(const Endpoint& source, const Endpoint& target, std::size_t via,
                     std::vector<unsigned char> ping, std::vector<unsigned char> forward,
                     Clock::time_point now) {
    if (!hasRoom()) {
        return false;
    }
    const std::uint64_t ticket = nextTicket_++;
    const auto deadline = now + wait_;
    parked_.emplace(ticket, Parked{source, target, via, deadline, std::move(ping), std::move(forward)});
    deadlines_.emplace_back(deadline, ticket);
    lookups_.push_back({AllowList::keyOf(target), ticket, this, deadline});
    return true;
}

void StoreLink::flush() {
    if (!writes_.empty() || !lookups_.empty()) {
        store_.submit(writes_, lookups_);
    }
    // What the queue had no room for was not written: due again at the endpoint's next request.
    for (const auto& dropped : writes_) {
        allowList_.forgetStoreWrite(dropped.key);
    }
    writes_.clear();
}

std::optional<StoreLink::Clock::time_point> StoreLink::nextDeadline() const {
    if (parked_.empty() || deadlines_.empty()) {
        return std::nullopt;
    }
    return deadlines_.front().first;
}

void StoreLink::post(const std::vector<Answer>& answers) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.insert(answers_.end(), answers.begin(), answers.end());
    }
    waker_.wake();
}

}  // namespace server
}  // namespace tarn
