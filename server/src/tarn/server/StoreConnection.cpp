#include "tarn/server/StoreConnection.h"

#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <thread>
#include <utility>

#include <netdb.h>
#include <poll.h>

#include <hiredis/hiredis.h>
#include <boost/asio/ip/address.hpp>

#include "tarn/server/SentinelReplies.h"
#include "tarn/server/Waker.h"

namespace tarn {
namespace server {

namespace {

timeval toTimeval(std::chrono::milliseconds duration) {
    return {static_cast<time_t>(duration.count() / 1000),
            static_cast<suseconds_t>(duration.count() % 1000 * 1000)};
}

// A reply that frees itself.
struct ReplyDeleter {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

// Whether text is an IPv4 or IPv6 address rather than a name.
bool isNumeric(const std::string& text) {
    boost::system::error_code error;
    boost::asio::ip::make_address(text, error);
    return !error;
}

}  // namespace

const char* const StoreConnection::kStopping = "stopping";

// A name look-up on a thread of its own, so that the store's thread waits for it at most
// its time-out; one that takes longer is waited for at the next attempt, and joined at the end.
struct StoreConnection::Resolving {
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

StoreConnection::StoreConnection(Address address, const Waker& stopWaker, Kind kind,
                                 std::chrono::milliseconds timeout)
    : storeAddress(std::move(address)), stopWaker(stopWaker), kind(kind), timeout(timeout) {}

StoreConnection::~StoreConnection() {
    if (redis != nullptr) {
        redisFree(redis);
    }
}

std::string StoreConnection::open() {
    close();
    const timeval limit = toTimeval(timeout);
    const std::string host = resolve();
    if (host.empty()) {
        return "'" + storeAddress.host + "' did not resolve within " + std::to_string(timeout.count()) +
               " ms";
    }
    redis = redisConnectWithTimeout(host.c_str(), storeAddress.port, limit);
    std::string problem;
    if (redis == nullptr) {
        return "out of memory";
    }
    if (redis->err != 0) {
        problem = redis->errstr;
    } else if (redisSetTimeout(redis, limit) != REDIS_OK) {
        problem = "cannot set the time-out";
    } else {
        // AUTH first: a store with a password answers nothing else before it. SELECT also for
        // database 0: a store that refuses us (protected mode) says so here.
        std::vector<const char*> asked;
        if (!storeAddress.password.empty()) {
            append("AUTH %b", storeAddress.password.data(), storeAddress.password.size());
            asked.push_back("AUTH");
        }
        if (kind != Kind::SENTINEL) {
            append("SELECT %u", storeAddress.db);
            asked.push_back("SELECT");
        }
        if (kind == Kind::FOLLOWED_STORE) {
            append("ROLE");
            asked.push_back("ROLE");
        }
        std::vector<redisReply*> replies;
        problem = asked.empty() ? "" : exchange(asked.size(), replies);
        for (std::size_t i = 0; i < replies.size(); ++i) {
            const Reply reply(replies[i]);
            const std::string command = asked[i];
            if (!problem.empty()) {
                continue;
            }
            if (reply->type == REDIS_REPLY_ERROR) {
                problem = command + ": " + reply->str;
                if (command == "AUTH" || problem.find("NOAUTH") != std::string::npos) {
                    problem = "the password was refused (" + problem + ")";
                }
            } else if (command == "ROLE") {
                problem = sentinel::readRole(*reply);
            }
        }
    }
    if (!problem.empty()) {
        close();
    }
    return problem;
}

void StoreConnection::retarget(const std::string& host, std::uint16_t port) {
    if (host != storeAddress.host || port != storeAddress.port) {
        close();
        storeAddress.host = host;
        storeAddress.port = port;
        resolved.clear();
        resolveAgain = true;
    }
}

void StoreConnection::close() {
    if (redis != nullptr) {
        redisFree(redis);
        redis = nullptr;
        resolveAgain = true;
    }
}

void StoreConnection::append(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    redisvAppendCommand(redis, format, arguments);
    va_end(arguments);
}

std::string StoreConnection::exchange(std::size_t count, std::vector<redisReply*>& replies) {
    const auto deadline = Clock::now() + timeout;
    int done = 0;
    while (!done) {
        if (redisBufferWrite(redis, &done) != REDIS_OK) {
            return redis->errstr[0] != '\0' ? redis->errstr : "connection lost";
        }
        if (!done && Clock::now() >= deadline) {
            return "no room to send within " + std::to_string(timeout.count()) + " ms";
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
            return "no complete answer within " + std::to_string(timeout.count()) + " ms";
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

std::string StoreConnection::resolve() {
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
        if (!resolving->finished.wait_for(lock, timeout, [&] { return resolving->done; })) {
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

}  // namespace server
}  // namespace tarn
