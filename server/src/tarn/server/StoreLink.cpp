#include "tarn/server/StoreLink.h"

#include <algorithm>
#include <utility>

namespace tarn {
namespace server {

StoreLink::StoreLink(SharedStore& store, AllowList& allowList, std::chrono::milliseconds wait)
    : store(store), allowList(allowList), wait(wait) {}

void StoreLink::write(const Endpoint& endpoint, const Endpoint& server) {
    writes.push_back({AllowList::keyOf(endpoint), AllowList::keyOf(server)});
}

bool StoreLink::park(const Endpoint& source, const Endpoint& target, std::size_t via,
                     std::vector<unsigned char> ping, std::vector<unsigned char> forward,
                     Clock::time_point now) {
    if (!hasRoom()) {
        return false;
    }
    const std::uint64_t ticket = nextTicket++;
    const auto deadline = now + wait;
    parked.emplace(ticket, Parked{source, target, via, deadline, std::move(ping), std::move(forward)});
    deadlines.emplace_back(deadline, ticket);
    lookups.push_back({AllowList::keyOf(target), ticket, this, deadline});
    return true;
}

void StoreLink::flush() {
    if (!writes.empty() || !lookups.empty()) {
        store.submit(writes, lookups);
    }
    // What the queue had no room for was not written: due again at the endpoint's next request.
    for (const auto& dropped : writes) {
        allowList.forgetStoreWrite(dropped.key);
    }
    writes.clear();
}

std::optional<StoreLink::Clock::time_point> StoreLink::nextDeadline() const {
    if (parked.empty() || deadlines.empty()) {
        return std::nullopt;
    }
    return deadlines.front().first;
}

void StoreLink::post(const std::vector<Answer>& answers) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        postedAnswers.insert(postedAnswers.end(), answers.begin(), answers.end());
    }
    waker.wake();
}

void LinkAnswers::add(const LookupQueue::Lookup& lookup, StoreLink::Outcome outcome, AllowList::Key server) {
    auto found = std::find_if(byLink.begin(), byLink.end(),
                              [&](const auto& entry) { return entry.first == lookup.replyTo; });
    if (found == byLink.end()) {
        found = byLink.insert(byLink.end(), {lookup.replyTo, {}});
    }
    found->second.push_back({lookup.ticket, outcome, server});
}

void LinkAnswers::post() {
    for (const auto& [link, answers] : byLink) {
        link->post(answers);
    }
}

void LinkAnswers::answerAll(const std::vector<LookupQueue::Lookup>& lookups, StoreLink::Outcome outcome) {
    LinkAnswers answers;
    for (const auto& lookup : lookups) {
        answers.add(lookup, outcome);
    }
    answers.post();
}

}  // namespace server
}  // namespace tarn
