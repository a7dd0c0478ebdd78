#include "tarn/server/StoreLink.h"

#include <utility>

namespace tarn {
namespace server {

StoreLink::StoreLink(SharedStore& store, std::chrono::milliseconds wait) : store_(store), wait_(wait) {}

void StoreLink::write(const Endpoint& endpoint, const Endpoint& server) {
    writes_.push_back({AllowList::keyOf(endpoint), AllowList::keyOf(server)});
}

bool StoreLink::park(const Endpoint& source, const Endpoint& target, std::size_t via,
                     std::vector<unsigned char> ping, std::vector<unsigned char> forward,
                     Clock::time_point now) {
    if (!store_.connected() || parked_.size() >= kMaxParked) {
        return false;
    }
    const std::uint64_t ticket = nextTicket_++;
    const auto deadline = now + wait_;
    parked_.emplace(ticket, Parked{source, target, via, deadline, std::move(ping), std::move(forward)});
    deadlines_.emplace_back(deadline, ticket);
    lookups_.push_back({AllowList::keyOf(target), ticket, this});
    return true;
}

void StoreLink::flush() {
    if (!writes_.empty() || !lookups_.empty()) {
        store_.submit(writes_, lookups_);
    }
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
