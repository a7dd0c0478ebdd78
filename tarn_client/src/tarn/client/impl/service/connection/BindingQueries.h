#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/service/connection/WaitRules.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/ReceivedMessage.h"
#include "tarn/client/impl/util/RttEstimator.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::util {
class Messenger;
}
namespace tarn::client::impl::service::connection {

// Binding requests in flight at once on one or more sockets, each query awaiting answers from
// its own endpoints: a datagram goes to the query on its socket that awaits its sender. The
// discovery engine starts queries and steps the run until the ones it needs have ended. Runs on
// the caller's thread; the messengers must outlive the run.
//
// The wire carries no transaction: an answer is told from a late one by its socket and sender.
// Once a query has ended, a datagram on its socket from an endpoint it asked is late (an answer
// to a resend, or one that came after the query was judged silent) and goes to no other query;
// nor does an answer that repeats what an ended change request's answer carried.
class BindingQueries {
public:
    using Endpoint = boost::asio::ip::udp::endpoint;
    using EndpointList = std::vector<Endpoint>;

    struct Query {
        util::Messenger* messenger;
        EndpointList destinations;
        // Whether the request carries a change request, and which.
        bool withChange;
        generated::Attribute::Change change;
        // A change request is answered by any decodable datagram from this endpoint; a plain
        // one by one datagram from each destination.
        Endpoint answerFrom;
        // How many time-outs a plain request may wait for an answer (retries + 1); a change
        // request waits one.
        int attempts;
        // How often the request goes out, evenly spread, within each time-out.
        int sends;
    };
    enum class State { RUNNING, ANSWERED, SILENT };

    // timeout: the wait per attempt, which restarts with every answer to a plain request; the
    // waits, resends and time-outs run on clock, which should be the messengers' own.
    BindingQueries(std::string name, std::chrono::milliseconds timeout, util::Clock& clock);
    // From now on the wait per attempt is WaitRules::serverWait of rtt, re-read at every step so
    // that it follows the estimate as answers come in, and every first answer from an endpoint
    // adds a sample: the time since the query's first request (an upper bound when a resend was
    // answered, which errs towards waiting longer). rtt must outlive the run.
    void followRtt(util::RttEstimator& rtt, WaitRules::Order order);
    ~BindingQueries();
    BindingQueries(const BindingQueries&) = delete;
    BindingQueries& operator=(const BindingQueries&) = delete;

    // Sends the query's request and returns its index; with no attempt to make it is SILENT at once.
    // Datagrams queued on its socket while no query of this run used it are dropped first, as late.
    std::size_t start(const Query& query);
    // Waits for the next datagram or the next resend or time-out of a running query and handles
    // it; false when no query runs. Throws ConnectionException when a socket fails.
    bool step();
    State state(std::size_t index) const;
    // The answers of a query in arrival order.
    const std::vector<util::ReceivedMessage>& answers(std::size_t index) const;
    // Datagrams dropped as late answers to queries already ended.
    int lateAnswers() const { return late; }
    // The wait per attempt as it stands now.
    std::chrono::milliseconds currentTimeout() const;

private:
    struct Running;

    // An endpoint an ended query asked on a socket, and for a change request the mapped endpoint
    // its answer carried (0.0.0.0:0 when none came).
    struct Judged {
        util::Messenger* messenger;
        Endpoint from;
        bool change;
        Endpoint mapped;
    };

    // Drops what the socket received before any running query of this run asked anything on it.
    void drainIdle(util::Messenger& messenger);
    void handle(util::Messenger& messenger, util::ReceivedMessage& reply);
    bool isLate(const util::Messenger& messenger, const util::ReceivedMessage& reply, bool awaited) const;
    void expire(Running& running);
    void end(Running& running, State state);

    std::string name;
    std::chrono::milliseconds timeout;
    util::Clock& clock;
    util::RttEstimator* rtt = nullptr;
    WaitRules::Order order = WaitRules::Order::DOCUMENTED;
    std::vector<Running> queries;
    std::vector<Judged> judged;
    int late = 0;
};

}  // namespace tarn::client::impl::service::connection
