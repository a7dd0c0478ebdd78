#include "tarn/server/SharedStore.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <string>
#include <utility>

#include <netdb.h>
#include <poll.h>
#include <pthread.h>

#include <hiredis/hiredis.h>

#include "tarn/server/Datagram.h"
#include "tarn/server/Log.h"
#include "tarn/server/StoreLink.h"

namespace tarn {
namespace server {

namespace {

const char* const kKeyPrefix = "tarn:allow:";
// Why a round trip ended when stop() cut it short; not worth a warning.
const char* const kStopping = "stopping";
// A sorted set: each server address scored with the time (ms) its server last renewed it.
const char* const kFleetKey = "tarn:servers";

timeval toTimeval(std::chrono::milliseconds duration) {
    return {static_cast<time_t>(duration.count() / 1000),
            static_cast<suseconds_t>(duration.count() % 1000 * 1000)};
}

// Answers for several workers' links, gathered during one round trip and posted at its end.
class Answers {
public:
    void add(StoreLink* link, std::uint64_t ticket, StoreLink::Outcome outcome, AllowList::Key server = 0) {
        auto found = std::find_if(byLink.begin(), byLink.end(),
                                  [&](const auto& entry) { return entry.first == link; });
        if (found == byLink.end()) {
            found = byLink.insert(byLink.end(), {link, {}});
        }
        found->second.push_back({ticket, outcome, server});
    }
    void post() {
        for (const auto& [link, answers] : byLink) {
            link->post(answers);
        }
    }

private:
    std::vector<std::pair<StoreLink*, std::vector<StoreLink::Answer>>> byLink;
};

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

// Whether text is an IPv4 or IPv6 address rather than a name.
bool isNumeric(const std::string& text) {
    boost::system::error_code error;
    boost::asio::ip::make_address(text, error);
    return !error;
}

}  // namespace

// A name look-up on a thread of its own, so that the store's thread waits for it at most
// kIoTimeout; one that takes longer is waited for at the next attempt, and joined at the end.
struct SharedStore::Resolving {
    std::mutex mutex;  // guards done and address
    std::condition_variable finished;
    bool done = false;
    // The numeric address found, IPv4 preferred (a store on loopback usually listens on 127.0.0.1
    // only, not on ::1); empty when the name did not resolve.
    std::string address;
    std::thread thread;

    explicit Resolving(const std::string& host) {
        thread = std::thread([this, host] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            char text[NI_MAXHOST] = "";
            if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
                const addrinfo* chosen = found;
                for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
                    if (entry->ai_family == AF_INET) {
                        chosen = entry;
                        break;
                    }
                }
                if (getnameinfo(chosen->ai_addr, chosen->ai_addrlen, text, sizeof text, nullptr, 0,
                                NI_NUMERICHOST) != 0) {
                    text[0] = '\0';
                }
                freeaddrinfo(found);
            }
            std::lock_guard<std::mutex> lock(mutex);
            address = text;
            done = true;
            finished.notify_all();
        });
    }
    // The resolver's own time-outs bound this.
    ~Resolving() { thread.join(); }
};

SharedStore::SharedStore(Address address, std::chrono::seconds window,
                         std::vector<boost::asio::ip::address_v4> ownAddresses, const FleetSeal& seal,
                         std::size_t maxLookups)
    : storeAddress(std::move(address)),
      window(window),
      seal(seal),
      maxLookups(maxLookups),
      ownAddresses(std::move(ownAddresses)) {}

SharedStore::~SharedStore() {
    stop();
    if (redis != nullptr) {
        redisFree(redis);
    }
}

void SharedStore::start() {
    if (!thread.joinable()) {
        thread = std::thread([this] { run(); });
    }
}

void SharedStore::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wakeWorker.notify_all();
    stopWaker.wake();
    if (thread.joinable()) {
        thread.join();
    }
}

void SharedStore::submit(std::vector<Write>& writes, std::vector<Lookup>& lookups) {
    bool wake = !lookups.empty();
    std::size_t lookupsTaken = 0;
    std::size_t writesTaken = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // The first write of a batch starts the thread's flush timer; later ones join it.
        wake = wake || (queuedWrites.empty() && !writes.empty());
        writesTaken =
            std::min(writes.size(), kMaxQueuedWrites - std::min(queuedWrites.size(), kMaxQueuedWrites));
        queuedWrites.insert(queuedWrites.end(), writes.begin(), writes.begin() + writesTaken);
        lookupsTaken = std::min(lookups.size(), maxLookups - std::min(queuedLookups.size(), maxLookups));
        queuedLookups.insert(queuedLookups.end(), lookups.begin(), lookups.begin() + lookupsTaken);
    }
    writesDropped.fetch_add(writes.size() - writesTaken, std::memory_order_relaxed);
    writes.erase(writes.begin(), writes.begin() + writesTaken);
    if (lookupsTaken < lookups.size()) {
        Answers answers;
        for (auto lookup = lookups.begin() + lookupsTaken; lookup != lookups.end(); ++lookup) {
            answers.add(lookup->replyTo, lookup->ticket, StoreLink::Outcome::REFUSED);
        }
        answers.post();
    }
    lookups.clear();
    if (wake) {
        wakeWorker.notify_one();
    }
}

SharedStore::Stats SharedStore::stats() const {
    Stats stats;
    stats.written = written.load(std::memory_order_relaxed);
    stats.writesDropped = writesDropped.load(std::memory_order_relaxed);
    stats.writesOverBudget = writesOverBudget.load(std::memory_order_relaxed);
    stats.lookups = lookupsAsked.load(std::memory_order_relaxed);
    stats.lookupsExpired = lookupsExpired.load(std::memory_order_relaxed);
    stats.forgedMembers = forgedMembers.load(std::memory_order_relaxed);
    stats.errors = errors.load(std::memory_order_relaxed);
    stats.connects = connects.load(std::memory_order_relaxed);
    stats.connected = connected();
    return stats;
}

bool SharedStore::isFleetServer(const boost::asio::ip::address_v4& address) const {
    std::lock_guard<std::mutex> lock(fleetMutex);
    return std::binary_search(fleetServers.begin(), fleetServers.end(), address.to_uint());
}

std::string SharedStore::problem() const {
    if (connected()) {
        return {};
    }
    std::lock_guard<std::mutex> lock(fleetMutex);
    return lastProblem.empty() ? "the shared store " + storeAddress.text + " is not connected yet"
                               : lastProblem;
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
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            const auto until = queuedWrites.empty() ? nextCheck : std::min(nextCheck, nextFlush);
            wakeWorker.wait_until(lock, until, [&] {
                return stopping || !queuedLookups.empty() ||
                       (!queuedWrites.empty() && Clock::now() >= nextFlush);
            });
            if (stopping) {
                return;
            }
            lookups.swap(queuedLookups);
            if (!lookups.empty() || Clock::now() >= nextFlush) {
                writes.swap(queuedWrites);
            }
        }
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
        if (redis == nullptr && due) {
            connect();
        }
        if (redis == nullptr) {
            writesDropped.fetch_add(writes.size(), std::memory_order_relaxed);
            refuse(lookups);
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

std::string SharedStore::resolve() {
    if (isNumeric(storeAddress.host)) {
        return storeAddress.host;
    }
    // The last address known; a name never resolved is not handed to the client library, whose own
    // look-up has no time limit.
    const std::string known = resolved;
    if (!resolved.empty() && !resolveAgain) {
        return known;
    }
    if (!resolving) {
        resolving = std::make_unique<Resolving>(storeAddress.host);
    }
    std::string address;
    {
        std::unique_lock<std::mutex> lock(resolving->mutex);
        if (!resolving->finished.wait_for(lock, kIoTimeout, [&] { return resolving->done; })) {
            return known;
        }
        address = resolving->address;
    }
    resolving.reset();
    if (address.empty()) {
        return known;
    }
    resolved = address;
    resolveAgain = false;
    return resolved;
}

bool SharedStore::connect() {
    const timeval timeout = toTimeval(kIoTimeout);
    const std::string host = resolve();
    redisContext* context =
        host.empty() ? nullptr : redisConnectWithTimeout(host.c_str(), storeAddress.port, timeout);
    std::string problem;
    if (host.empty()) {
        problem = "'" + storeAddress.host + "' did not resolve within " + std::to_string(kIoTimeout.count()) +
                  " ms";
    } else if (context == nullptr) {
        problem = "out of memory";
    } else if (context->err != 0) {
        problem = context->errstr;
    } else if (redisSetTimeout(context, timeout) != REDIS_OK) {
        problem = "cannot set the time-out";
    } else {
        redis = context;
        // AUTH first: a store with a password answers nothing else before it. SELECT also for
        // database 0: a store that refuses us (protected mode) says so here.
        std::size_t count = 1;
        if (!storeAddress.password.empty()) {
            redisAppendCommand(redis, "AUTH %b", storeAddress.password.data(), storeAddress.password.size());
            ++count;
        }
        redisAppendCommand(redis, "SELECT %u", storeAddress.db);
        std::vector<redisReply*> replies;
        problem = exchange(count, replies);
        for (std::size_t i = 0; i < replies.size(); ++i) {
            const Reply reply(replies[i]);
            if (problem.empty() && reply->type == REDIS_REPLY_ERROR) {
                const bool auth = i + 1 < count;
                problem = std::string(auth ? "AUTH: " : "SELECT: ") + reply->str;
                if (auth || problem.find("NOAUTH") != std::string::npos) {
                    problem = "the password was refused (" + problem + ")";
                }
            }
        }
        redis = nullptr;
    }
    if (!problem.empty()) {
        if (context != nullptr) {
            redisFree(context);
        }
        errors.fetch_add(1, std::memory_order_relaxed);
        nextCheck = Clock::now() + kCheck;
        resolveAgain = true;
        {
            std::lock_guard<std::mutex> lock(fleetMutex);
            lastProblem = "the shared store " + storeAddress.text + " is unreachable: " + problem;
        }
        // One line when it goes away, not one per attempt.
        if (!reportedDown) {
            Log::warn("shared store " + storeAddress.text + " unreachable: " + problem +
                      "; relays to endpoints " + "bound elsewhere are refused; trying again every " +
                      std::to_string(kCheck.count()) + " ms");
            reportedDown = true;
        }
        return false;
    }
    redis = context;
    nextCheck = {};
    currentEpoch.fetch_add(1, std::memory_order_acq_rel);
    connects.fetch_add(1, std::memory_order_relaxed);
    connectedNow.store(true, std::memory_order_release);
    reportedDown = false;
    Log::info("shared store " + storeAddress.text + " connected");
    return true;
}

std::string SharedStore::exchange(std::size_t count, std::vector<redisReply*>& replies) {
    const auto deadline = Clock::now() + kIoTimeout;
    int done = 0;
    while (!done) {
        if (redisBufferWrite(redis, &done) != REDIS_OK) {
            return redis->errstr[0] != '\0' ? redis->errstr : "connection lost";
        }
        if (!done && Clock::now() >= deadline) {
            return "no room to send within " + std::to_string(kIoTimeout.count()) + " ms";
        }
    }
    while (replies.size() < count) {
        void* raw = nullptr;
        if (redisGetReplyFromReader(redis, &raw) != REDIS_OK) {
            return redis->errstr[0] != '\0' ? redis->errstr : "unreadable reply";
        }
        if (raw != nullptr) {
            replies.push_back(static_cast<redisReply*>(raw));
            continue;
        }
        // A store that trickles its replies gets the whole round trip's time, not each read's.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd polled[] = {{redis->fd, POLLIN, 0}, {stopWaker.fd(), POLLIN, 0}};
        if (left.count() <= 0 || ::poll(polled, 2, static_cast<int>(left.count())) == 0) {
            return "no complete answer within " + std::to_string(kIoTimeout.count()) + " ms";
        }
        if ((polled[1].revents & POLLIN) != 0) {
            return kStopping;
        }
        if ((polled[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 && redisBufferRead(redis) != REDIS_OK) {
            return redis->errstr[0] != '\0' ? redis->errstr : "connection lost";
        }
    }
    return {};
}

bool SharedStore::roundTrip(const std::vector<Write>& writes, const std::vector<Lookup>& lookups,
                            bool check) {
    const long long expiryMs = std::chrono::duration_cast<std::chrono::milliseconds>(window).count();
    const std::int64_t nowMs = FleetSeal::wallClockMs();
    for (const Write& write : writes) {
        const std::string key = keyText(write.key);
        const std::string value =
            seal.recordValue(key, endpointText(AllowList::endpointOf(write.server)), nowMs + expiryMs);
        redisAppendCommand(redis, "SET %s %s PX %lld", key.c_str(), value.c_str(), expiryMs);
    }
    for (const Lookup& lookup : lookups) {
        redisAppendCommand(redis, "GET %s", keyText(lookup.key).c_str());
    }
    std::size_t checkReplies = 0;
    if (check) {
        for (const auto& own : ownAddresses) {
            redisAppendCommand(redis, "ZADD %s %lld %s", kFleetKey, static_cast<long long>(nowMs),
                               seal.memberEntry(own.to_string(), nowMs).c_str());
        }
        redisAppendCommand(redis, "ZREMRANGEBYSCORE %s -inf %lld", kFleetKey,
                           static_cast<long long>(nowMs - kFleetTimeout.count()));
        redisAppendCommand(redis, "ZRANGE %s 0 -1", kFleetKey);
        checkReplies = ownAddresses.size() + 2;
    }
    lookupsAsked.fetch_add(lookups.size(), std::memory_order_relaxed);
    const std::size_t total = writes.size() + lookups.size() + checkReplies;
    std::vector<redisReply*> raw;
    raw.reserve(total);
    const std::string failure = exchange(total, raw);
    Answers answers;
    for (std::size_t index = 0; index < raw.size(); ++index) {
        const Reply reply(raw[index]);
        const bool isError = reply->type == REDIS_REPLY_ERROR;
        if (isError) {
            errors.fetch_add(1, std::memory_order_relaxed);
        }
        if (index < writes.size()) {
            if (!isError) {
                written.fetch_add(1, std::memory_order_relaxed);
            }
        } else if (index < writes.size() + lookups.size()) {
            const Lookup& lookup = lookups[index - writes.size()];
            if (reply->type != REDIS_REPLY_STRING) {
                answers.add(lookup.replyTo, lookup.ticket,
                            reply->type == REDIS_REPLY_NIL ? StoreLink::Outcome::MISS
                                                           : StoreLink::Outcome::UNAVAILABLE);
                continue;
            }
            // Believed only with the fleet's seal, made for this very key and not yet expired.
            const auto record = seal.openRecord(keyText(lookup.key), std::string(reply->str, reply->len),
                                                FleetSeal::wallClockMs());
            const Key server = record.check == FleetSeal::Check::VALID ? parseEndpoint(record.server) : 0;
            if (server != 0) {
                answers.add(lookup.replyTo, lookup.ticket, StoreLink::Outcome::HIT, server);
            } else {
                answers.add(lookup.replyTo, lookup.ticket,
                            record.check == FleetSeal::Check::STALE ? StoreLink::Outcome::MISS
                                                                    : StoreLink::Outcome::FORGED);
            }
        } else if (index + 1 == total && reply->type == REDIS_REPLY_ARRAY) {
            readFleet(*reply, nowMs);
        }
    }
    if (!failure.empty()) {
        for (std::size_t rest = std::max(raw.size(), writes.size()); rest < writes.size() + lookups.size();
             ++rest) {
            const Lookup& lookup = lookups[rest - writes.size()];
            answers.add(lookup.replyTo, lookup.ticket, StoreLink::Outcome::UNAVAILABLE);
        }
        if (raw.size() < writes.size()) {
            writesDropped.fetch_add(writes.size() - raw.size(), std::memory_order_relaxed);
        }
        disconnect(failure);
    }
    answers.post();
    return failure.empty();
}

void SharedStore::readFleet(const redisReply& members, std::int64_t nowMs) {
    std::vector<std::uint32_t> fleet;
    std::uint64_t forged = 0;
    for (std::size_t i = 0; i < members.elements; ++i) {
        const redisReply* member = members.element[i];
        boost::system::error_code error;
        const std::string address =
            member->type == REDIS_REPLY_STRING
                ? seal.openMember(std::string(member->str, member->len), nowMs, kFleetTimeout.count())
                : std::string();
        const auto parsed = boost::asio::ip::make_address_v4(address, error);
        if (address.empty() || error) {
            ++forged;
        } else {
            fleet.push_back(parsed.to_uint());
        }
    }
    std::sort(fleet.begin(), fleet.end());
    fleet.erase(std::unique(fleet.begin(), fleet.end()), fleet.end());
    forgedMembers.store(forged, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(fleetMutex);
    fleetServers.swap(fleet);
}

void SharedStore::disconnect(const std::string& why) {
    redisFree(redis);
    resolveAgain = true;
    {
        // The fleet is learnt anew from the store when it is back: a store that lost its data
        // knows each server again within a check.
        std::lock_guard<std::mutex> lock(fleetMutex);
        fleetServers.clear();
        lastProblem = "the shared store " + storeAddress.text + " was lost: " + why;
    }
    redis = nullptr;
    connectedNow.store(false, std::memory_order_release);
    errors.fetch_add(1, std::memory_order_relaxed);
    // Not at once: a store that accepts connections but fails every command would make this a loop.
    nextCheck = Clock::now() + kCheck;
    reportedDown = true;
    if (why == kStopping) {
        return;
    }
    Log::warn("shared store " + storeAddress.text + " lost: " + why +
              "; relays to endpoints bound elsewhere are " + "refused until it is back");
}

void SharedStore::refuse(const std::vector<Lookup>& lookups) {
    Answers answers;
    for (const Lookup& lookup : lookups) {
        answers.add(lookup.replyTo, lookup.ticket, StoreLink::Outcome::UNAVAILABLE);
    }
    answers.post();
}

}  // namespace server
}  // namespace tarn
