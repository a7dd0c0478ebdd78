#include "tarn/client/impl/service/portmap/PcpClient.h"

#include <algorithm>
#include <random>
#include <string>

#include "tarn/client/impl/service/portmap/MapperSocket.h"
#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::portmap {

namespace {

PcpCodec::Nonce freshNonce() {
    std::random_device random;
    PcpCodec::Nonce nonce;
    for (std::uint8_t& byte : nonce) {
        byte = static_cast<std::uint8_t>(random());
    }
    return nonce;
}

// Sends request until an answer to it comes, resending after every step without one. Answers to
// other requests (another nonce, another opcode) restart the wait: they are stale, not the answer.
MapperSocket::Wait exchange(MapperSocket& socket, const std::vector<std::uint8_t>& request,
                            const PcpCodec::Nonce& nonce, util::Clock& clock, util::Clock::TimePoint deadline,
                            PcpCodec::Answer& answer, const std::atomic<bool>* cancel = nullptr) {
    // Sent once even past the deadline unless cancelled: a deletion at shutdown goes out whatever
    // time is left, a cancelled request never.
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(); };
    for (bool first = true; !cancelled() && (first || clock.now() < deadline); first = false) {
        socket.send(request);
        const auto until = std::min(deadline, clock.now() + util::Intervals::kMapperResend);
        std::vector<std::uint8_t> bytes;
        MapperSocket::Wait wait;
        while ((wait = socket.receive(bytes, clock, until, cancel)) == MapperSocket::Wait::DATAGRAM) {
            const auto decoded = PcpCodec::decode(bytes.data(), bytes.size());
            // A NAT-PMP mapper's refusal carries no nonce: it answers the version, not the request.
            if (decoded && (decoded->version == PcpCodec::kNatPmpVersion || decoded->nonce == nonce ||
                            decoded->result != PcpCodec::kSuccess)) {
                answer = *decoded;
                return wait;
            }
        }
        if (wait != MapperSocket::Wait::TIMEOUT) {
            return wait;
        }
    }
    return MapperSocket::Wait::TIMEOUT;
}

}  // namespace

MapAttempt PcpClient::map(const MapTarget& target, const PortMapping* renewing, Clock::TimePoint deadline,
                          const std::atomic<bool>* cancel) {
    MapAttempt attempt;
    MapperSocket socket(target.local, target.gateway, target.mapperPort);
    if (!socket.isOpen()) {
        attempt.outcome = MapAttempt::Outcome::DENIED;
        attempt.detail = socket.error();
        return attempt;
    }
    PcpCodec::MapRequest request;
    request.nonce = renewing != nullptr ? renewing->nonce : freshNonce();
    request.client = target.local;
    request.internalPort = target.internalPort;
    request.lifetimeSeconds = static_cast<std::uint32_t>(target.lease.count());
    // The same port outside as inside where the router allows: a port-preserving NAT in front of
    // the same host then agrees with the mapping.
    request.suggestedPort = renewing != nullptr ? renewing->externalPort : target.internalPort;
    if (renewing != nullptr && renewing->externalAddress) {
        request.suggestedAddress = *renewing->externalAddress;
    }
    PcpCodec::Answer answer;
    switch (exchange(socket, PcpCodec::encodeMap(request), request.nonce, *target.clock, deadline, answer,
                     cancel)) {
        case MapperSocket::Wait::REFUSED:
            attempt.outcome = MapAttempt::Outcome::REFUSED;
            return attempt;
        case MapperSocket::Wait::TIMEOUT:
            if (renewing == nullptr) {
                // The router may have mapped the new nonce without its answer reaching us: deleted
                // unanswered, since a mapping nobody knows of would stay for the whole lease.
                request.lifetimeSeconds = 0;
                socket.send(PcpCodec::encodeMap(request));
            }
            attempt.outcome = MapAttempt::Outcome::SILENT;
            return attempt;
        case MapperSocket::Wait::FAILED:
            attempt.outcome = MapAttempt::Outcome::DENIED;
            attempt.detail = "receive failed";
            return attempt;
        case MapperSocket::Wait::DATAGRAM:
            break;
    }
    if (answer.version != PcpCodec::kPcpVersion) {
        attempt.outcome = MapAttempt::Outcome::DENIED;
        attempt.detail = "the mapper speaks NAT-PMP only";
        return attempt;
    }
    if (answer.result != PcpCodec::kSuccess || answer.lifetimeSeconds == 0 || answer.externalPort == 0) {
        attempt.outcome = MapAttempt::Outcome::DENIED;
        attempt.detail = "PCP result " + std::to_string(answer.result) + ", lifetime " +
                         std::to_string(answer.lifetimeSeconds);
        return attempt;
    }
    attempt.outcome = MapAttempt::Outcome::GRANTED;
    PortMapping& mapping = attempt.mapping;
    mapping.protocol = MappingProtocol::PCP;
    mapping.externalAddress = answer.externalAddress;
    mapping.externalPort = answer.externalPort;
    mapping.internalPort = target.internalPort;
    mapping.lease = std::chrono::seconds(answer.lifetimeSeconds);
    mapping.grantedAt = target.clock->now();
    mapping.epochSeconds = answer.epochSeconds;
    mapping.nonce = request.nonce;
    return attempt;
}

bool PcpClient::remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline) {
    MapperSocket socket(target.local, target.gateway, target.mapperPort);
    PcpCodec::MapRequest request;
    request.nonce = mapping.nonce;
    request.client = target.local;
    request.internalPort = mapping.internalPort;
    PcpCodec::Answer answer;
    return socket.isOpen() &&
           exchange(socket, PcpCodec::encodeMap(request), request.nonce, *target.clock, deadline, answer) ==
               MapperSocket::Wait::DATAGRAM &&
           answer.result == PcpCodec::kSuccess;
}

}  // namespace tarn::client::impl::service::portmap
