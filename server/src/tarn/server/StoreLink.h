#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/server/SharedStore.h"
#include "tarn/server/Waker.h"

namespace tarn {
namespace server {

// One worker's side of the shared store: the allow-list writes and look-ups it collects while it
// handles a batch, and the relayed pings parked until the store says whether their target may get
// them. Everything but post() belongs to the worker's thread; post() is the store thread's way back.
class StoreLink {
public:
    using Clock = std::chrono::steady_clock;
    using Endpoint = boost::asio::ip::udp::endpoint;
    // Pings parked at once per worker; a relay beyond them is refused as if the store were away.
    static constexpr std::size_t kMaxParked = 4096;

    // Refused: not asked, the store's look-up queue was full; Forged: a record without a valid seal.
    enum class Outcome { HIT, MISS, TIMEOUT, UNAVAILABLE, REFUSED, FORGED };
    // The store's answer to one look-up: for a hit, the server endpoint the target bound at.
    struct Answer {
        std::uint64_t ticket;
        Outcome outcome;
        AllowList::Key server;
    };
    // A relayed ping waiting for the store's answer about its target: the PING_DIRECT for the
    // target, and the PING_RELAY that asks the target's own server to send it (empty when the
    // request came from a server of the fleet, which is never forwarded again).
    struct Parked {
        Endpoint source;
        Endpoint target;
        std::size_t via = 0;
        Clock::time_point deadline;
        std::vector<unsigned char> ping;
        std::vector<unsigned char> forward;
    };

    // A parked ping waits at most wait for its answer. Writes the store drops are made due again
    // in allowList.
    StoreLink(SharedStore& store, AllowList& allowList, std::chrono::milliseconds wait);
    StoreLink(const StoreLink&) = delete;
    StoreLink& operator=(const StoreLink&) = delete;

    // The store's connection the allow-list's write times refer to.
    std::uint64_t epoch() const { return store.epoch(); }
    // Queues the record that endpoint bound at the server endpoint `server`.
    void write(const Endpoint& endpoint, const Endpoint& server);
    // Counts a record not written: its /24 was over its store-write budget.
    void writeOverBudget() { store.countWriteOverBudget(); }
    // Whether address belongs to a server of the fleet.
    bool isFleetServer(const boost::asio::ip::address_v4& address) const {
        return store.isFleetServer(address);
    }
    // Whether a ping may be parked now: the store answers and fewer than kMaxParked wait.
    bool hasRoom() const { return store.connected() && parked.size() < kMaxParked; }
    // Parks the ping and the forward (see Parked) for target and queues the look-up. False, with
    // nothing parked, when there is no room.
    bool park(const Endpoint& source, const Endpoint& target, std::size_t via,
              std::vector<unsigned char> ping, std::vector<unsigned char> forward, Clock::time_point now);
    // Hands what was queued to the store; called once per handled batch.
    void flush();
    // Readable when answers have been posted.
    int fd() const { return waker.fd(); }
    // When the next parked ping runs out of time, if one waits.
    std::optional<Clock::time_point> nextDeadline() const;
    // Calls outcome(parked, Outcome, server) once for every ping answered since the last call and
    // every one whose wait has run out by now (server: where a hit's target bound), and forgets them.
    template <typename Fn>
    void settle(Clock::time_point now, Fn&& outcome) {
        waker.drain();
        {
            std::lock_guard<std::mutex> lock(mutex);
            taken.swap(postedAnswers);
        }
        for (const Answer& answer : taken) {
            const auto found = parked.find(answer.ticket);
            // A ping that timed out already got its outcome; its late answer is ignored.
            if (found != parked.end()) {
                outcome(found->second, answer.outcome, AllowList::endpointOf(answer.server));
                parked.erase(found);
            }
        }
        taken.clear();
        while (!deadlines.empty() && deadlines.front().first <= now) {
            const auto found = parked.find(deadlines.front().second);
            if (found != parked.end()) {
                outcome(found->second, Outcome::TIMEOUT, Endpoint());
                parked.erase(found);
            }
            deadlines.pop_front();
        }
    }

    // The store's answers by ticket; called by the store's thread.
    void post(const std::vector<Answer>& answers);

private:
    SharedStore& store;
    AllowList& allowList;
    std::chrono::milliseconds wait;
    std::vector<SharedStore::Write> writes;
    std::vector<SharedStore::Lookup> lookups;
    std::unordered_map<std::uint64_t, Parked> parked;
    // Tickets in the order their waits end (all waits are equally long); answered ones stay here
    // until their time comes and are skipped then.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> deadlines;
    std::uint64_t nextTicket = 1;
    Waker waker;
    std::mutex mutex;  // guards postedAnswers
    std::vector<Answer> postedAnswers;
    std::vector<Answer> taken;
};

// Answers for several workers' links, gathered during one round trip and posted at its end.
class LinkAnswers {
public:
    void add(const LookupQueue::Lookup& lookup, StoreLink::Outcome outcome, AllowList::Key server = 0);
    // Gives each link its answers, which wakes it.
    void post();
    // Answers every look-up with outcome at once: their relays are refused, not timed out.
    static void answerAll(const std::vector<LookupQueue::Lookup>& lookups, StoreLink::Outcome outcome);

private:
    std::vector<std::pair<StoreLink*, std::vector<StoreLink::Answer>>> byLink;
};

}  // namespace server
}  // namespace tarn
