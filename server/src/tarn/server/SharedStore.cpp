#include "tarn/server/SharedStore.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <string>
#include <utility>

#include <pthread.h>

#include <hiredis/hiredis.h>

#include "tarn/server/Log.h"
#include "tarn/server/StoreLink.h"

namespace tarn {
namespace server {

namespace {

const char* const kKeyPrefix = "tarn:allow:";
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
        auto found = std::find_if(byLink_.begin(), byLink_.end(),
                                  [&](const auto& entry) { return entry.first == link; });
        if (found == byLink_.end()) {
            found = byLink_.insert(byLink_.end(), {link, {}});
        }
        found->second.push_back({ticket, outcome, server});
    }
    void post() {
        for (const auto& [link, answers] : byLink_) {
            link->post(answers);
        }
    }

private:
    std::vector<std::pair<StoreLink*, std::vector<StoreLink::Answer>>> byLink_;
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

std::int64_t wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SharedStore::SharedStore(Address address, std::chrono::seconds window,
                         std::vector<boost::asio::ip::address_v4> ownAddresses)
    : address_(std::move(address)), window_(window), ownAddresses_(std::move(ownAddresses)) {}

SharedStore::~SharedStore() {
    stop();
    if (context_ != nullptr) {
        redisFree(context_);
    }
}

void SharedStore::start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

void SharedStore::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SharedStore::submit(std::vector<Write>& writes, std::vector<Lookup>& lookups) {
    bool wake = !lookups.empty();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The first write of a batch starts the thread's flush timer; later ones join it.
        wake = wake || (writes_.empty() && !writes.empty());
        const std::size_t room = kMaxQueuedWrites - std::min(writes_.size(), kMaxQueuedWrites);
        if (writes.size() > room) {
            writesDropped_.fetch_add(writes.size() - room, std::memory_order_relaxed);
            writes.resize(room);
        }
        writes_.insert(writes_.end(), writes.begin(), writes.end());
        lookups_.insert(lookups_.end(), lookups.begin(), lookups.end());
    }
    writes.clear();
    lookups.clear();
    if (wake) {
        wake_.notify_one();
    }
}

SharedStore::Stats SharedStore::stats() const {
    Stats stats;
    stats.written = written_.load(std::memory_order_relaxed);
    stats.writesDropped = writesDropped_.load(std::memory_order_relaxed);
    stats.lookups = lookupsAsked_.load(std::memory_order_relaxed);
    stats.errors = errors_.load(std::memory_order_relaxed);
    stats.connects = connects_.load(std::memory_order_relaxed);
    stats.connected = connected();
    return stats;
}

bool SharedStore::isFleetServer(const boost::asio::ip::address_v4& address) const {
    std::lock_guard<std::mutex> lock(fleetMutex_);
    return std::binary_search(fleet_.begin(), fleet_.end(), address.to_uint());
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
    nextCheck_ = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto until = writes_.empty() ? nextCheck_ : std::min(nextCheck_, nextFlush);
            wake_.wait_until(lock, until, [&] {
                return stopping_ || !lookups_.empty() || (!writes_.empty() && Clock::now() >= nextFlush);
            });
            if (stopping_) {
                return;
            }
            lookups.swap(lookups_);
            if (!lookups.empty() || Clock::now() >= nextFlush) {
                writes.swap(writes_);
            }
        }
        const auto now = Clock::now();
        if (!writes.empty()) {
            nextFlush = now + kFlushInterval;
        }
        const bool due = now >= nextCheck_;
        if (context_ == nullptr && due) {
            connect();
        }
        if (context_ == nullptr) {
            writesDropped_.fetch_add(writes.size(), std::memory_order_relaxed);
            refuse(lookups);
        } else if (due || !writes.empty() || !lookups.empty()) {
            // A fresh connection is checked at once, so that the fleet is known from the start.
            const bool check = due || nextCheck_ == Clock::time_point{};
            if (roundTrip(writes, lookups, check) && check) {
                nextCheck_ = Clock::now() + kCheck;
            }
        }
        writes.clear();
        lookups.clear();
    }
}

bool SharedStore::connect() {
    const timeval timeout = toTimeval(kIoTimeout);
    redisContext* context = redisConnectWithTimeout(address_.host.c_str(), address_.port, timeout);
    std::string problem;
    if (context == nullptr) {
        problem = "out of memory";
    } else if (context->err != 0) {
        problem = context->errstr;
    } else if (redisSetTimeout(context, timeout) != REDIS_OK) {
        problem = "cannot set the time-out";
    } else {
        // Also for database 0: a store that refuses us (protected mode, a password) says so here.
        const Reply reply(static_cast<redisReply*>(redisCommand(context, "SELECT %u", address_.db)));
        if (!reply || reply->type == REDIS_REPLY_ERROR) {
            problem = reply ? std::string("SELECT: ") + reply->str : context->errstr;
        }
    }
    if (!problem.empty()) {
        if (context != nullptr) {
            redisFree(context);
        }
        errors_.fetch_add(1, std::memory_order_relaxed);
        nextCheck_ = Clock::now() + kCheck;
        // One line when it goes away, not one per attempt.
        if (!reportedDown_) {
            Log::warn("shared store " + address_.text + " unreachable: " + problem +
                      "; relays to endpoints " + "bound elsewhere are refused; trying again every " +
                      std::to_string(kCheck.count()) + " ms");
            reportedDown_ = true;
        }
        return false;
    }
    context_ = context;
    nextCheck_ = {};
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    connects_.fetch_add(1, std::memory_order_relaxed);
    connected_.store(true, std::memory_order_release);
    reportedDown_ = false;
    Log::info("shared store " + address_.text + " connected");
    return true;
}

bool SharedStore::roundTrip(const std::vector<Write>& writes, const std::vector<Lookup>& lookups,
                            bool check) {
    const long long expiryMs = std::chrono::duration_cast<std::chrono::milliseconds>(window_).count();
    for (const Write& write : writes) {
        const auto server = AllowList::endpointOf(write.server);
        redisAppendCommand(context_, "SET %s %s:%u PX %lld", keyText(write.key).c_str(),
                           server.address().to_string().c_str(), static_cast<unsigned>(server.port()),
                           expiryMs);
    }
    for (const Lookup& lookup : lookups) {
        redisAppendCommand(context_, "GET %s", keyText(lookup.key).c_str());
    }
    std::size_t checkReplies = 0;
    if (check) {
        const long long nowMs = wallClockMs();
        for (const auto& own : ownAddresses_) {
            redisAppendCommand(context_, "ZADD %s %lld %s", kFleetKey, nowMs, own.to_string().c_str());
        }
        redisAppendCommand(context_, "ZREMRANGEBYSCORE %s -inf %lld", kFleetKey,
                           nowMs - static_cast<long long>(kFleetTimeout.count()));
        redisAppendCommand(context_, "ZRANGE %s 0 -1", kFleetKey);
        checkReplies = ownAddresses_.size() + 2;
    }
    lookupsAsked_.fetch_add(lookups.size(), std::memory_order_relaxed);
    Answers answers;
    const std::size_t total = writes.size() + lookups.size() + checkReplies;
    std::size_t index = 0;
    std::string failure;
    for (; index < total; ++index) {
        void* raw = nullptr;
        if (redisGetReply(context_, &raw) != REDIS_OK) {
            failure = context_->errstr[0] != '\0' ? context_->errstr : "connection lost";
            break;
        }
        const Reply reply(static_cast<redisReply*>(raw));
        const bool isError = reply->type == REDIS_REPLY_ERROR;
        if (isError) {
            errors_.fetch_add(1, std::memory_order_relaxed);
        }
        if (index < writes.size()) {
            if (!isError) {
                written_.fetch_add(1, std::memory_order_relaxed);
            }
        } else if (index < writes.size() + lookups.size()) {
            const Lookup& lookup = lookups[index - writes.size()];
            if (reply->type == REDIS_REPLY_STRING) {
                const Key server = parseEndpoint(std::string(reply->str, reply->len));
                answers.add(lookup.replyTo, lookup.ticket,
                            server != 0 ? StoreLink::Outcome::Hit : StoreLink::Outcome::Miss, server);
            } else {
                answers.add(lookup.replyTo, lookup.ticket,
                            reply->type == REDIS_REPLY_NIL ? StoreLink::Outcome::Miss
                                                           : StoreLink::Outcome::Unavailable);
            }
        } else if (index + 1 == total && reply->type == REDIS_REPLY_ARRAY) {
            readFleet(*reply);
        }
    }
    if (!failure.empty()) {
        for (std::size_t rest = std::max(index, writes.size()); rest < writes.size() + lookups.size();
             ++rest) {
            const Lookup& lookup = lookups[rest - writes.size()];
            answers.add(lookup.replyTo, lookup.ticket, StoreLink::Outcome::Unavailable);
        }
        if (index < writes.size()) {
            writesDropped_.fetch_add(writes.size() - index, std::memory_order_relaxed);
        }
        disconnect(failure);
    }
    answers.post();
    return failure.empty();
}

void SharedStore::readFleet(const redisReply& members) {
    std::vector<std::uint32_t> fleet;
    for (std::size_t i = 0; i < members.elements; ++i) {
        const redisReply* member = members.element[i];
        boost::system::error_code error;
        const auto address =
            member->type == REDIS_REPLY_STRING
                ? boost::asio::ip::make_address_v4(std::string(member->str, member->len), error)
                : boost::asio::ip::address_v4();
        if (member->type == REDIS_REPLY_STRING && !error) {
            fleet.push_back(address.to_uint());
        }
    }
    std::sort(fleet.begin(), fleet.end());
    std::lock_guard<std::mutex> lock(fleetMutex_);
    fleet_.swap(fleet);
}

void SharedStore::disconnect(const std::string& why) {
    redisFree(context_);
    context_ = nullptr;
    connected_.store(false, std::memory_order_release);
    errors_.fetch_add(1, std::memory_order_relaxed);
    // Not at once: a store that accepts connections but fails every command would make this a loop.
    nextCheck_ = Clock::now() + kCheck;
    reportedDown_ = true;
    Log::warn("shared store " + address_.text + " lost: " + why +
              "; relays to endpoints bound elsewhere are " + "refused until it is back");
}

void SharedStore::refuse(const std::vector<Lookup>& lookups) {
    Answers answers;
    for (const Lookup& lookup : lookups) {
        answers.add(lookup.replyTo, lookup.ticket, StoreLink::Outcome::Unavailable);
    }
    answers.post();
}

}  // namespace server
}  // namespace tarn
