#include "tarn/server/SharedStore.h"

#include <algorithm>
#include <csignal>
#include <utility>

#include <pthread.h>

#include <hiredis/hiredis.h>

#include "tarn/server/Log.h"
#include "tarn/server/StoreLink.h"

namespace tarn {
namespace server {

namespace {

const char* const kKeyPrefix = "tarn:allow:";

timeval toTimeval(std::chrono::milliseconds duration) {
    return {static_cast<time_t>(duration.count() / 1000),
            static_cast<suseconds_t>(duration.count() % 1000 * 1000)};
}

// Answers for several workers' links, gathered during one round trip and posted at its end.
class Answers {
public:
    void add(StoreLink* link, std::uint64_t ticket, StoreLink::Outcome outcome) {
        auto found = std::find_if(byLink_.begin(), byLink_.end(),
                                  [&](const auto& entry) { return entry.first == link; });
        if (found == byLink_.end()) {
            found = byLink_.insert(byLink_.end(), {link, {}});
        }
        found->second.emplace_back(ticket, outcome);
    }
    void post() {
        for (const auto& [link, answers] : byLink_) {
            link->post(answers);
        }
    }

private:
    std::vector<std::pair<StoreLink*, std::vector<std::pair<std::uint64_t, StoreLink::Outcome>>>> byLink_;
};

// A reply that frees itself.
struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

}  // namespace

SharedStore::SharedStore(Address address, std::chrono::seconds window)
    : address_(std::move(address)), window_(window) {}

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

void SharedStore::submit(std::vector<Key>& writes, std::vector<Lookup>& lookups) {
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
    std::vector<Key> writes;
    std::vector<Lookup> lookups;
    auto nextFlush = Clock::now();
    // While connected: the next round trip that checks the store is there (a PING when idle,
    // so that readiness follows the store); otherwise the next attempt to connect.
    nextConnect_ = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto until = writes_.empty() ? nextConnect_ : std::min(nextConnect_, nextFlush);
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
        if (context_ == nullptr && now >= nextConnect_) {
            connect();
        }
        if (context_ == nullptr) {
            writesDropped_.fetch_add(writes.size(), std::memory_order_relaxed);
            refuse(lookups);
        } else if (now >= nextConnect_ || !writes.empty() || !lookups.empty()) {
            if (!writes.empty()) {
                nextFlush = now + kFlushInterval;
            }
            if (roundTrip(writes, lookups)) {
                nextConnect_ = Clock::now() + kReconnect;
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
        nextConnect_ = Clock::now() + kReconnect;
        // One line when it goes away, not one per attempt.
        if (!reportedDown_) {
            Log::warn("shared store " + address_.text + " unreachable: " + problem +
                      "; relays to endpoints " + "bound elsewhere are refused; trying again every " +
                      std::to_string(kReconnect.count()) + " ms");
            reportedDown_ = true;
        }
        return false;
    }
    context_ = context;
    epoch_.fetch_add(1, std::memory_order_acq_rel);
    connects_.fetch_add(1, std::memory_order_relaxed);
    connected_.store(true, std::memory_order_release);
    reportedDown_ = false;
    Log::info("shared store " + address_.text + " connected");
    return true;
}

bool SharedStore::roundTrip(const std::vector<Key>& writes, const std::vector<Lookup>& lookups) {
    const long long expiryMs = std::chrono::duration_cast<std::chrono::milliseconds>(window_).count();
    for (const Key key : writes) {
        redisAppendCommand(context_, "SET %s 1 PX %lld", keyText(key).c_str(), expiryMs);
    }
    for (const Lookup& lookup : lookups) {
        redisAppendCommand(context_, "EXISTS %s", keyText(lookup.key).c_str());
    }
    const bool ping = writes.empty() && lookups.empty();
    if (ping) {
        redisAppendCommand(context_, "PING");
    }
    lookupsAsked_.fetch_add(lookups.size(), std::memory_order_relaxed);
    Answers answers;
    const std::size_t total = writes.size() + lookups.size() + (ping ? 1 : 0);
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
            const auto outcome = reply->type != REDIS_REPLY_INTEGER ? StoreLink::Outcome::Unavailable
                                 : reply->integer > 0               ? StoreLink::Outcome::Hit
                                                                    : StoreLink::Outcome::Miss;
            answers.add(lookup.replyTo, lookup.ticket, outcome);
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

void SharedStore::disconnect(const std::string& why) {
    redisFree(context_);
    context_ = nullptr;
    connected_.store(false, std::memory_order_release);
    errors_.fetch_add(1, std::memory_order_relaxed);
    // Not at once: a store that accepts connections but fails every command would make this a loop.
    nextConnect_ = Clock::now() + kReconnect;
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
