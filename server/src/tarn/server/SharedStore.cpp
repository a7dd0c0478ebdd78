#include "tarn/server/SharedStore.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <pthread.h>

#include <hiredis/hiredis.h>

#include "tarn/server/Datagram.h"
#include "tarn/server/Log.h"
#include "tarn/server/StoreLink.h"

namespace tarn {
namespace server {

namespace {

const char* const kKeyPrefix = "tarn:allow:";

// A reply that frees itself.
struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

// "ADDR:PORT" as the store holds a server endpoint; 0 when the text is not one.
AllowList::Key parseEndpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text.substr(0, colon), error);
    if (colon == std::string::npos || error || colon + 1 == text.size() || colon + 6 < text.size() ||
        text.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
        return 0;
    }
    const unsigned long port = std::stoul(text.substr(colon + 1));
    return port > 65535 ? 0 : AllowList::keyOf({address, static_cast<unsigned short>(port)});
}

}  // namespace

SharedStore::SharedStore(Address address, std::chrono::seconds window,
                         std::vector<boost::asio::ip::address_v4> ownAddresses, const FleetSeal& seal,
                         std::size_t maxLookups, const Sentinels& sentinels, std::size_t maxOwned)
    : window(window),
      seal(seal),
      queue(maxLookups),
      fleet(std::move(ownAddresses), seal),
      connection(
          std::move(address), stopWaker,
          sentinels.addresses.empty() ? StoreConnection::Kind::STORE : StoreConnection::Kind::FOLLOWED_STORE),
      owned(sentinels.addresses.empty() ? 0 : maxOwned) {
    if (!sentinels.addresses.empty()) {
        locator = std::make_unique<SentinelLocator>(sentinels, stopWaker);
    }
}

SharedStore::~SharedStore() {
    stop();
}

void SharedStore::start() {
    if (!thread.joinable()) {
        thread = std::thread([this] { run(); });
    }
}

void SharedStore::stop() {
    queue.stop();
    stopWaker.wake();
    if (thread.joinable()) {
        thread.join();
    }
}

void SharedStore::submit(std::vector<Write>& writes, std::vector<Lookup>& lookups) {
    writesDropped.fetch_add(queue.submit(writes, lookups), std::memory_order_relaxed);
}

SharedStore::Stats SharedStore::stats() const {
    Stats stats;
    stats.written = written.load(std::memory_order_relaxed);
    stats.writesDropped = writesDropped.load(std::memory_order_relaxed);
    stats.writesOverBudget = writesOverBudget.load(std::memory_order_relaxed);
    stats.lookups = lookupsAsked.load(std::memory_order_relaxed);
    stats.lookupsExpired = lookupsExpired.load(std::memory_order_relaxed);
    stats.forgedMembers = fleet.forged();
    stats.errors = errors.load(std::memory_order_relaxed);
    stats.connects = connects.load(std::memory_order_relaxed);
    stats.switches = switches.load(std::memory_order_relaxed);
    stats.rewritten = rewritten.load(std::memory_order_relaxed);
    stats.connected = connected();
    std::lock_guard<std::mutex> lock(problemMutex);
    stats.master = master;
    return stats;
}

bool SharedStore::isFleetServer(const boost::asio::ip::address_v4& address) const {
    return fleet.contains(address);
}

std::string SharedStore::problem() const {
    if (connected()) {
        return {};
    }
    std::lock_guard<std::mutex> lock(problemMutex);
    return lastProblem.empty() ? "the shared store " + address().text + " is not connected yet" : lastProblem;
}

std::string SharedStore::keyText(Key key) {
    const auto endpoint = AllowList::endpointOf(key);
    return kKeyPrefix + endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

void SharedStore::run() {
    // A store that closes the connection turns the next write into SIGPIPE, which would end the
    // whole server: blocked on this thread, the write fails with EPIPE instead and is handled.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::vector<Write> writes;
    std::vector<Lookup> lookups;
    auto nextFlush = Clock::now();
    nextCheck = Clock::now();
    // Records to write again to a new master are sent without waiting for the workers' writes.
    while (queue.take(rewrites.empty() || !connection.isOpen() ? nextCheck : Clock::now(), nextFlush, writes,
                      lookups)) {
        const auto now = Clock::now();
        if (!writes.empty()) {
            nextFlush = now + kFlushInterval;
        }
        // A look-up whose ping stopped waiting would only cost the store a GET nobody reads.
        const auto expired = std::remove_if(lookups.begin(), lookups.end(),
                                            [&](const Lookup& lookup) { return lookup.deadline <= now; });
        lookupsExpired.fetch_add(static_cast<std::uint64_t>(lookups.end() - expired),
                                 std::memory_order_relaxed);
        lookups.erase(expired, lookups.end());
        const bool due = now >= nextCheck;
        if (!connection.isOpen() && due) {
            connect();
        }
        if (connection.isOpen() && !rewrites.empty()) {
            const std::size_t taken = std::min(rewrites.size(), kRewritesPerTrip);
            writes.insert(writes.end(), rewrites.end() - static_cast<std::ptrdiff_t>(taken), rewrites.end());
            rewrites.resize(rewrites.size() - taken);
            rewritten.fetch_add(taken, std::memory_order_relaxed);
        }
        if (!connection.isOpen()) {
            writesDropped.fetch_add(writes.size(), std::memory_order_relaxed);
            LinkAnswers::answerAll(lookups, StoreLink::Outcome::UNAVAILABLE);
        } else if (due || !writes.empty() || !lookups.empty()) {
            // A fresh connection is checked at once, so that the fleet is known from the start.
            const bool check = due || nextCheck == Clock::time_point{};
            if (roundTrip(writes, lookups, check) && check) {
                nextCheck = Clock::now() + kCheck;
            }
        }
        writes.clear();
        lookups.clear();
    }
}

bool SharedStore::connect() {
    std::string problem;
    std::string named;
    if (locator) {
        const sentinel::MasterAddress found = locator->locate();
        problem = found.problem;
        if (problem.empty()) {
            named = (found.host.find(':') != std::string::npos ? "[" + found.host + "]" : found.host) + ":" +
                    std::to_string(found.port);
            connection.retarget(found.host, found.port);
            problem = connection.open();
            if (!problem.empty()) {
                locator->distrustLastAnswer();
                problem = "the master " + named + " the sentinels named: " + problem;
            }
        }
    } else {
        problem = connection.open();
    }
    const std::string& text = address().text;
    if (!problem.empty()) {
        errors.fetch_add(1, std::memory_order_relaxed);
        nextCheck = retryAt();
        {
            std::lock_guard<std::mutex> lock(problemMutex);
            lastProblem = "the shared store " + text + " is unreachable: " + problem;
        }
        // One line when it goes away, not one per attempt.
        if (!reportedDown) {
            const auto every = locator ? sentinel::kMaxRetryDelay : kCheck;
            Log::warn("shared store " + text + " unreachable: " + problem + "; relays to endpoints " +
                      "bound elsewhere are refused; trying again every " + std::to_string(every.count()) +
                      " ms");
            reportedDown = true;
        }
        return false;
    }
    nextCheck = {};
    currentEpoch.fetch_add(1, std::memory_order_acq_rel);
    connects.fetch_add(1, std::memory_order_relaxed);
    std::string before;
    {
        std::lock_guard<std::mutex> lock(problemMutex);
        before = master;
        master = named;
    }
    reportedDown = false;
    if (locator) {
        // Replication is asynchronous: what was written just before a failover may be missing,
        // and a master that came back may have lost everything. Written again before the workers
        // ask: the records' expiry is kept.
        rewrites = owned.live(Clock::now());
        if (!before.empty() && before != named) {
            switches.fetch_add(1, std::memory_order_relaxed);
            Log::info("shared store " + text + " switched from master " + before + " to " + named + "; " +
                      std::to_string(rewrites.size()) + " records to write again");
        } else {
            Log::info("shared store " + text + " connected to master " + named);
        }
    } else {
        Log::info("shared store " + text + " connected");
    }
    connectedNow.store(true, std::memory_order_release);
    return true;
}

SharedStore::Clock::time_point SharedStore::retryAt() {
    ++failures;
    return Clock::now() + (locator ? sentinel::retryDelay(failures) : std::chrono::milliseconds(kCheck));
}

bool SharedStore::roundTrip(const std::vector<Write>& writes, const std::vector<Lookup>& lookups,
                            bool check) {
    const std::int64_t nowMs = FleetSeal::wallClockMs();
    const auto now = Clock::now();
    std::vector<Clock::time_point> expiries;
    expiries.reserve(writes.size());
    for (const Write& write : writes) {
        // A record written again keeps the expiry it had; the others last a window.
        expiries.push_back(write.expiresAt != Clock::time_point{} ? write.expiresAt : now + window);
        const long long lastsMs = std::max<long long>(
            1, std::chrono::ceil<std::chrono::milliseconds>(expiries.back() - now).count());
        const std::string key = keyText(write.key);
        const std::string value =
            seal.recordValue(key, endpointText(AllowList::endpointOf(write.server)), nowMs + lastsMs);
        connection.append("SET %s %s PX %lld", key.c_str(), value.c_str(), lastsMs);
    }
    for (const Lookup& lookup : lookups) {
        connection.append("GET %s", keyText(lookup.key).c_str());
    }
    const std::size_t checkReplies = check ? fleet.appendCheck(connection, nowMs) : 0;
    lookupsAsked.fetch_add(lookups.size(), std::memory_order_relaxed);
    const std::size_t total = writes.size() + lookups.size() + checkReplies;
    std::vector<redisReply*> raw;
    raw.reserve(total);
    std::string failure = connection.exchange(total, raw);
    LinkAnswers answers;
    for (std::size_t index = 0; index < raw.size(); ++index) {
        const Reply reply(raw[index]);
        const bool isError = reply->type == REDIS_REPLY_ERROR;
        if (isError) {
            errors.fetch_add(1, std::memory_order_relaxed);
            // A master that became a replica: the one that took over is asked for at once.
            if (locator && failure.empty() && sentinel::meansMasterMoved(*reply)) {
                failure = "it answered " + std::string(reply->str, reply->len);
            }
        }
        if (index < writes.size()) {
            if (!isError) {
                written.fetch_add(1, std::memory_order_relaxed);
                if (locator) {
                    owned.wrote(writes[index], expiries[index], now);
                }
            }
        } else if (index < writes.size() + lookups.size()) {
            const Lookup& lookup = lookups[index - writes.size()];
            if (reply->type != REDIS_REPLY_STRING) {
                answers.add(lookup, reply->type == REDIS_REPLY_NIL ? StoreLink::Outcome::MISS
                                                                   : StoreLink::Outcome::UNAVAILABLE);
                continue;
            }
            // Believed only with the fleet's seal, made for this very key and not yet expired.
            const auto record = seal.openRecord(keyText(lookup.key), std::string(reply->str, reply->len),
                                                FleetSeal::wallClockMs());
            const Key server = record.check == FleetSeal::Check::VALID ? parseEndpoint(record.server) : 0;
            if (server != 0) {
                answers.add(lookup, StoreLink::Outcome::HIT, server);
            } else {
                answers.add(lookup, record.check == FleetSeal::Check::STALE ? StoreLink::Outcome::MISS
                                                                            : StoreLink::Outcome::FORGED);
            }
        } else if (index + 1 == total && reply->type == REDIS_REPLY_ARRAY) {
            fleet.read(*reply, nowMs);
        }
    }
    if (!failure.empty()) {
        for (std::size_t rest = std::max(raw.size(), writes.size()); rest < writes.size() + lookups.size();
             ++rest) {
            answers.add(lookups[rest - writes.size()], StoreLink::Outcome::UNAVAILABLE);
        }
        if (raw.size() < writes.size()) {
            writesDropped.fetch_add(writes.size() - raw.size(), std::memory_order_relaxed);
        }
        disconnect(failure);
    }
    answers.post();
    if (failure.empty() && check) {
        failures = 0;
    }
    return failure.empty();
}

void SharedStore::disconnect(const std::string& why) {
    connection.close();
    fleet.forget();
    {
        std::lock_guard<std::mutex> lock(problemMutex);
        lastProblem = "the shared store " + address().text + " was lost: " + why;
    }
    connectedNow.store(false, std::memory_order_release);
    errors.fetch_add(1, std::memory_order_relaxed);
    // Without sentinels not at once: a store that accepts connections but fails every command would
    // make this a loop. With them at once, the next time later: see sentinel::retryDelay().
    nextCheck = retryAt();
    reportedDown = true;
    if (why == StoreConnection::kStopping) {
        return;
    }
    Log::warn("shared store " + address().text + " lost: " + why +
              "; relays to endpoints bound elsewhere are " + "refused until it is back");
}

}  // namespace server
}  // namespace tarn
