#include "tarn/client/impl/service/portmap/NatPmpClient.h"

#include <arpa/inet.h>
#include <poll.h>
#include <cerrno>

#include <algorithm>
#include <functional>
#include <string>

#include <natpmp.h>

#include "tarn/client/impl/service/portmap/MapperSocket.h"
#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::portmap {

namespace {

// libnatpmp's state, closed however the call ends.
class Session {
public:
    explicit Session(const boost::asio::ip::address_v4& gateway) {
        ready = initnatpmp(&state, 1, htonl(gateway.to_uint())) == 0;
    }
    ~Session() {
        if (ready) {
            closenatpmp(&state);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ready = false;
    natpmp_t state{};
};

enum class Reply { ANSWER, REFUSED, SILENT, ERROR };

// Sends with send() and awaits the answer of type `expected` (the request's opcode), sending again
// after every step without one. libnatpmp takes any answer as the answer: a late answer to an
// earlier request (a slow router answers each resend) is dropped here, and the wait goes on.
Reply exchange(Session& session, const std::function<int()>& send, int expected, util::Clock& clock,
               util::Clock::TimePoint deadline, const std::atomic<bool>* cancel, natpmpresp_t& response,
               int& code) {
    // Sent once even past the deadline unless cancelled: a deletion at shutdown goes out whatever
    // time is left, a cancelled request never.
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    for (bool first = true; !cancelled() && (first || clock.now() < deadline); first = false) {
        if (send() < 0) {
            return Reply::ERROR;
        }
        const auto until = std::min(deadline, clock.now() + util::Intervals::kMapperResend);
        while (!cancelled()) {
            pollfd ready{session.state.s, POLLIN, 0};
            // The poll blocks for real in the steps the clock allows.
            const util::Clock::Duration step = clock.beginWait(&ready, nullptr, until);
            if (step <= util::Clock::Duration::zero()) {
                break;
            }
            auto stepMs = std::chrono::ceil<std::chrono::milliseconds>(step);
            if (cancel != nullptr) {
                stepMs = std::min(stepMs, MapperSocket::kCancelStep);
            }
            const int polled = ::poll(&ready, 1, static_cast<int>(stepMs.count()));
            clock.endWait(&ready);
            if (polled <= 0) {
                continue;
            }
            code = readnatpmpresponseorretry(&session.state, &response);
            if (code == 0 && response.type == expected) {
                return Reply::ANSWER;
            }
            if (code == 0) {
                // Not the answer: libnatpmp has forgotten its request, which is still the one out.
                session.state.has_pending_request = 1;
                continue;
            }
            // libnatpmp reports the gateway's ICMP refusal as "no gateway support".
            if (code == NATPMP_ERR_NOGATEWAYSUPPORT ||
                (code == NATPMP_ERR_RECVFROM && errno == ECONNREFUSED)) {
                return Reply::REFUSED;
            }
            // A datagram from elsewhere, or not yet complete: keep waiting.
            if (code != NATPMP_TRYAGAIN && code != NATPMP_ERR_WRONGPACKETSOURCE) {
                return Reply::ERROR;
            }
        }
    }
    return Reply::SILENT;
}

MapAttempt fromReply(Reply reply, int code, const char* what) {
    MapAttempt attempt;
    switch (reply) {
        case Reply::REFUSED:
            attempt.outcome = MapAttempt::Outcome::REFUSED;
            break;
        case Reply::SILENT:
            attempt.outcome = MapAttempt::Outcome::SILENT;
            break;
        default:
            attempt.outcome = MapAttempt::Outcome::DENIED;
            attempt.detail = std::string("NAT-PMP ") + what + " failed with " + std::to_string(code);
            break;
    }
    return attempt;
}

}  // namespace

MapAttempt NatPmpClient::askAddress(const MapTarget& target, Clock::TimePoint deadline,
                                    const std::atomic<bool>* cancel) {
    Session session(target.gateway);
    if (!session.ready) {
        return fromReply(Reply::ERROR, 0, "set-up");
    }
    natpmpresp_t response{};
    int code = 0;
    const Reply reply = exchange(
        session, [&] { return sendpublicaddressrequest(&session.state); }, NATPMP_RESPTYPE_PUBLICADDRESS,
        *target.clock, deadline, cancel, response, code);
    if (reply != Reply::ANSWER) {
        return fromReply(reply, code, "address request");
    }
    MapAttempt attempt;
    attempt.outcome = MapAttempt::Outcome::GRANTED;
    attempt.mapping.protocol = MappingProtocol::NAT_PMP;
    attempt.mapping.externalAddress =
        boost::asio::ip::address_v4(ntohl(response.pnu.publicaddress.addr.s_addr));
    return attempt;
}

MapAttempt NatPmpClient::map(const MapTarget& target, const PortMapping* renewing, Clock::TimePoint deadline,
                             const std::atomic<bool>* cancel, std::optional<Address> external) {
    Session session(target.gateway);
    if (!session.ready) {
        return fromReply(Reply::ERROR, 0, "set-up");
    }
    natpmpresp_t response{};
    int code = 0;
    Reply reply = Reply::ANSWER;
    if (!external) {
        reply = exchange(
            session, [&] { return sendpublicaddressrequest(&session.state); }, NATPMP_RESPTYPE_PUBLICADDRESS,
            *target.clock, deadline, cancel, response, code);
        if (reply != Reply::ANSWER) {
            return fromReply(reply, code, "address request");
        }
        external = Address(ntohl(response.pnu.publicaddress.addr.s_addr));
    }
    PortMapping mapping;
    mapping.protocol = MappingProtocol::NAT_PMP;
    mapping.externalAddress = external;
    const std::uint16_t suggested = renewing != nullptr ? renewing->externalPort : target.internalPort;
    const auto lifetime = static_cast<std::uint32_t>(target.lease.count());
    reply = exchange(
        session,
        [&] {
            return sendnewportmappingrequest(&session.state, NATPMP_PROTOCOL_UDP, target.internalPort,
                                             suggested, lifetime);
        },
        NATPMP_RESPTYPE_UDPPORTMAPPING, *target.clock, deadline, cancel, response, code);
    if (reply == Reply::SILENT) {
        // The router may have mapped without its answer reaching us in time: deleted unanswered,
        // since a mapping nobody knows of would stay for the whole lease.
        sendnewportmappingrequest(&session.state, NATPMP_PROTOCOL_UDP, target.internalPort, suggested, 0);
    }
    if (reply != Reply::ANSWER) {
        return fromReply(reply, code, "mapping request");
    }
    MapAttempt attempt;
    if (response.type != NATPMP_RESPTYPE_UDPPORTMAPPING || response.pnu.newportmapping.lifetime == 0 ||
        response.pnu.newportmapping.mappedpublicport == 0) {
        attempt.outcome = MapAttempt::Outcome::DENIED;
        attempt.detail = "NAT-PMP granted no lease";
        return attempt;
    }
    attempt.outcome = MapAttempt::Outcome::GRANTED;
    mapping.externalPort = response.pnu.newportmapping.mappedpublicport;
    mapping.internalPort = target.internalPort;
    mapping.lease = std::chrono::seconds(response.pnu.newportmapping.lifetime);
    mapping.grantedAt = target.clock->now();
    mapping.epochSeconds = response.epoch;
    attempt.mapping = mapping;
    return attempt;
}

bool NatPmpClient::remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline) {
    Session session(target.gateway);
    if (!session.ready) {
        return false;
    }
    natpmpresp_t response{};
    int code = 0;
    return exchange(
               session,
               [&] {
                   return sendnewportmappingrequest(&session.state, NATPMP_PROTOCOL_UDP, mapping.internalPort,
                                                    mapping.externalPort, 0);
               },
               NATPMP_RESPTYPE_UDPPORTMAPPING, *target.clock, deadline, nullptr, response,
               code) == Reply::ANSWER;
}

}  // namespace tarn::client::impl::service::portmap
