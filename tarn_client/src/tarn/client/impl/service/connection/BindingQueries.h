#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/ReceivedMessage.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::util {
class Messenger;
}
namespace tarn::client::impl::service::connection {

// Binding requests in flight at once on one or more sockets, each query awaiting answers from
// its own endpoints: a datagram goes to the query on its socket that awaits its sender. The
// discovery engine starts queries and steps the run until the ones it needs have ended. Runs on
// the caller's thread; the messengers must outlive the run.
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
    ~BindingQueries();
    BindingQueries(const BindingQueries&) = delete;
    BindingQueries& operator=(const BindingQueries&) = delete;

    // Sends the query's request and returns its index; with no attempt to make it is SILENT at once.
    std::size_t start(const Query& query);
    // Waits for the next datagram or the next resend or time-out of a running query and handles
    // it; false when no query runs. Throws ConnectionException when a socket fails.
    bool step();
    State state(std::size_t index) const;
    // The answers of a query in arrival order.
    const std::vector<util::ReceivedMessage>& answers(std::size_t index) const;

private:
    struct Running;

    void handle(util::Messenger& messenger, util::ReceivedMessage& reply);
    void expire(Running& running);

    std::string name;
    std::chrono::milliseconds timeout;
    util::Clock& clock;
    std::vector<Running> queries;
};

}  // namespace tarn::client::impl::service::connection
