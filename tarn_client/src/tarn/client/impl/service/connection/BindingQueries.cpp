#include "tarn/client/impl/service/connection/BindingQueries.h"

#include <algorithm>
#include <utility>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/Messenger.h"

namespace tarn::client::impl::service::connection {

using util::Clock;
using util::Messenger;
using util::ReceivedMessage;

namespace {

// The time left from now until `until`, in whole milliseconds the receive's steps add up to
// exactly: a receive waits in steps of a fifth of its timeout until they reach it, so a timeout
// that is no multiple of five would end past `until`.
std::chrono::milliseconds waitLeft(Clock::TimePoint now, Clock::TimePoint until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
    return left - left % util::Intervals::kReceiveWaitParts;
}

bool contains(const BindingQueries::EndpointList& list, const BindingQueries::Endpoint& endpoint) {
    return std::find(list.begin(), list.end(), endpoint) != list.end();
}

// At most this many datagrams already queued on an idle socket are dropped before a query starts:
// answers to an earlier exchange on the same port (the binding check binds the port the primary
// socket reuses) would otherwise pass for the first answer and for a round trip of zero.
constexpr int kDrainBound = 64;

// The mapped endpoint a BIND_RESP carries; 0.0.0.0:0 for any other datagram.
BindingQueries::Endpoint mappedOf(const ReceivedMessage& reply) {
    BindingQueries::Endpoint mapped;
    if (reply.content.type() != generated::Content::BIND_RESP ||
        !generated::getMappedAddress(reply.content, mapped, true)) {
        return BindingQueries::Endpoint();
    }
    return mapped;
}

}  // namespace

// One query and its progress. Within each time-out the request goes again to the endpoints still
// silent at even intervals, so that one lost request or answer costs no attempt.
struct BindingQueries::Running {
    Query query;
    generated::Content request;
    State state = State::RUNNING;
    // Endpoints whose answer is still awaited.
    EndpointList silent;
    std::vector<ReceivedMessage> answers;
    // Datagrams from endpoints never asked, kept for the fallback of a plain request (at most
    // one per destination).
    std::vector<ReceivedMessage> elsewhere;
    int attempt = 0;
    // Sends since the wait began, the one that began it included; the wait restarts with every
    // answer.
    int sends = 1;
    Clock::TimePoint waitStart;
    // The query's first request, from which a first answer's round trip counts.
    Clock::TimePoint firstSent;

    // When the next resend is due, or the attempt's time-out.
    Clock::TimePoint deadline(std::chrono::milliseconds timeout) const {
        return waitStart + (sends < query.sends ? timeout * sends / query.sends : timeout);
    }
    void send() { query.messenger->send(request, query.withChange ? query.destinations : silent); }
};

BindingQueries::BindingQueries(std::string name, std::chrono::milliseconds timeout, util::Clock& clock)
    : name(std::move(name)), timeout(timeout), clock(clock) {}

BindingQueries::~BindingQueries() = default;

void BindingQueries::followRtt(util::RttEstimator& estimator, WaitRules::Order waitOrder) {
    rtt = &estimator;
    order = waitOrder;
}

std::chrono::milliseconds BindingQueries::currentTimeout() const {
    return rtt == nullptr ? timeout : WaitRules::serverWait(*rtt, timeout, order);
}

std::size_t BindingQueries::start(const Query& query) {
    drainIdle(*query.messenger);
    Running running;
    running.query = query;
    running.request.set_type(generated::Content::BIND_REQ);
    if (query.withChange) {
        generated::addChangeRequest(running.request, query.change);
        running.silent = EndpointList{query.answerFrom};
    } else {
        running.silent = query.destinations;
    }
    if (query.attempts <= 0) {
        running.state = State::SILENT;
    } else {
        running.send();
        running.waitStart = clock.now();
        running.firstSent = running.waitStart;
    }
    queries.push_back(std::move(running));
    return queries.size() - 1;
}

void BindingQueries::drainIdle(Messenger& messenger) {
    const bool busy = std::any_of(queries.begin(), queries.end(), [&messenger](const Running& running) {
        return running.state == State::RUNNING && running.query.messenger == &messenger;
    });
    if (busy) {
        return;
    }
    ReceivedMessage stale;
    for (int n = 0; n < kDrainBound && messenger.receive(stale, std::chrono::milliseconds(0)); ++n) {
        ++late;
        Log::debug(name, "drainIdle",
                   "Dropping a late %1% from %2%: it came before this socket asked anything",
                   generated::typeName(stale.content.type()), stale.remoteEndpoint);
    }
}

bool BindingQueries::step() {
    const std::chrono::milliseconds timeout = currentTimeout();
    Running* next = nullptr;
    std::vector<Messenger*> messengers;
    for (Running& running : queries) {
        if (running.state != State::RUNNING) {
            continue;
        }
        if (next == nullptr || running.deadline(timeout) < next->deadline(timeout)) {
            next = &running;
        }
        if (std::find(messengers.begin(), messengers.end(), running.query.messenger) == messengers.end()) {
            messengers.push_back(running.query.messenger);
        }
    }
    if (next == nullptr) {
        return false;
    }
    const Clock::TimePoint deadline = next->deadline(timeout);
    const Clock::TimePoint now = clock.now();
    ReceivedMessage reply;
    if (messengers.size() == 1) {
        const std::chrono::milliseconds left = waitLeft(now, deadline);
        if (left.count() > 0 && messengers.front()->receive(reply, left)) {
            handle(*messengers.front(), reply);
            return true;
        }
    } else if (now < deadline) {
        // Several sockets: wait for whichever has a datagram first, then read it without waiting.
        // The deadline is checked first, so that a stream of datagrams cannot hold off a resend.
        Messenger* readable = Messenger::waitReadable(messengers, deadline);
        if (readable != nullptr) {
            if (readable->receive(reply, std::chrono::milliseconds(0))) {
                handle(*readable, reply);
            }
            return true;
        }
    }
    expire(*next);
    return true;
}

BindingQueries::State BindingQueries::state(std::size_t index) const {
    return queries.at(index).state;
}

const std::vector<ReceivedMessage>& BindingQueries::answers(std::size_t index) const {
    return queries.at(index).answers;
}

void BindingQueries::handle(Messenger& messenger, ReceivedMessage& reply) {
    Running* first = nullptr;
    for (Running& running : queries) {
        if (running.state != State::RUNNING || running.query.messenger != &messenger) {
            continue;
        }
        first = first == nullptr ? &running : first;
        const auto from = std::find(running.silent.begin(), running.silent.end(), reply.remoteEndpoint);
        if (from == running.silent.end() || isLate(messenger, reply, true)) {
            continue;
        }
        running.silent.erase(from);
        const Clock::TimePoint now = clock.now();
        if (rtt != nullptr) {
            rtt->addSample(std::chrono::duration_cast<util::RttEstimator::Duration>(now - running.firstSent));
        }
        running.answers.push_back(std::move(reply));
        running.waitStart = now;
        running.sends = 1;
        if (running.silent.empty()) {
            end(running, State::ANSWERED);
        }
        return;
    }
    if (isLate(messenger, reply, false)) {
        ++late;
        Log::debug(name, "handle002", "Dropping a late %1% from %2%: its request was already judged",
                   generated::typeName(reply.content.type()), reply.remoteEndpoint);
        return;
    }
    if (first == nullptr) {
        return;
    }
    if (first->query.withChange) {
        Log::trace(name, "handle001", "Ignoring %1% from %2%: not from %3%",
                   generated::typeName(reply.content.type()), reply.remoteEndpoint, first->query.answerFrom);
    } else {
        Log::trace(name, "handle000", "Ignoring %1% from %2%: not awaited",
                   generated::typeName(reply.content.type()), reply.remoteEndpoint);
    }
    for (Running& running : queries) {
        if (running.state == State::RUNNING && running.query.messenger == &messenger &&
            !running.query.withChange && !contains(running.query.destinations, reply.remoteEndpoint) &&
            running.elsewhere.size() < running.query.destinations.size()) {
            running.elsewhere.push_back(reply);
        }
    }
}

// awaited: a running query awaits the sender. Then only a repeat of an ended change request's
// answer is late (a plain request from the same socket to the same endpoint gets the same
// mapping, so its duplicate is as good as the answer); otherwise any datagram from an endpoint an
// ended query on the socket asked.
bool BindingQueries::isLate(const Messenger& messenger, const ReceivedMessage& reply, bool awaited) const {
    return std::any_of(judged.begin(), judged.end(), [&](const Judged& ended) {
        if (ended.messenger != &messenger || ended.from != reply.remoteEndpoint) {
            return false;
        }
        return !awaited || (ended.change && ended.mapped != Endpoint() && mappedOf(reply) == ended.mapped);
    });
}

void BindingQueries::expire(Running& running) {
    if (running.sends < running.query.sends) {
        running.send();
        ++running.sends;
        return;
    }
    // The attempt is over. One that got answers only from endpoints never asked ends the query
    // with those: the service evidently answers from another endpoint than the one addressed.
    if (running.answers.empty() && !running.elsewhere.empty()) {
        Log::warn(name, "expire000",
                  "Accepting %1% answer(s) from %2%, which was not asked, for a request to %3%: the service "
                  "answers from another endpoint",
                  running.elsewhere.size(), running.elsewhere.front().remoteEndpoint,
                  running.query.destinations.front());
        running.answers = std::move(running.elsewhere);
        end(running, State::ANSWERED);
        return;
    }
    if (++running.attempt < running.query.attempts) {
        running.send();
        running.waitStart = clock.now();
        running.sends = 1;
        return;
    }
    end(running, running.answers.empty() ? State::SILENT : State::ANSWERED);
}

void BindingQueries::end(Running& running, State state) {
    running.state = state;
    if (running.query.withChange) {
        const Endpoint mapped = running.answers.empty() ? Endpoint() : mappedOf(running.answers.front());
        judged.push_back({running.query.messenger, running.query.answerFrom, true, mapped});
        return;
    }
    for (const Endpoint& destination : running.query.destinations) {
        judged.push_back({running.query.messenger, destination, false, Endpoint()});
    }
}

}  // namespace tarn::client::impl::service::connection
