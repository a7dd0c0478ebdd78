#pragma once

#include <chrono>

namespace tarn::client::impl::util {

// Every interval the library waits by, with its reason. Time-outs that come from configuration
// (discovery answers, connector rounds) are milliseconds at the edge and std::chrono inside. The
// waits run on a util::Clock (Clock.h): steady time in production, a manual clock in tests.
struct Intervals {
    // A receive waits in this many equal steps of its time-out; a datagram ends the wait at once.
    static constexpr int kReceiveWaitParts = 5;
    // A connector round counts its unreached peers in this many steps of its time-out; an answer
    // that reaches the last peer ends the round at once.
    static constexpr int kRoundWaitParts = 4;
    // With tarn.connect.overlap the first round, which pings every endpoint at once, sends again
    // after this long and then at doubling steps: a lost ping, or a relayed ping held behind a
    // symmetric NAT until the next step, costs milliseconds instead of a quarter round, and a
    // peer that never answers gets five resends in a 500 ms round instead of three.
    static constexpr std::chrono::milliseconds kOverlapFirstStep{10};
    // Undecodable datagrams restart a receive's wait, but its whole wait never exceeds this many
    // time-outs: a steady stream of garbage cannot hold a discovery test or a listener turn open.
    static constexpr int kWaitBoundFactor = 4;
    // A NAT change test sends its request this many times, evenly spread over its one timeout:
    // a lost request or answer must not decide the NAT's class, and a clean network answers the
    // first request within the same time as before.
    static constexpr int kChangeTestSends = 3;
    // The overlapped discovery (tarn.discovery.overlap) sends a change test this many times instead,
    // and so also a plain request within each attempt: at 10% loss each way, a change test whose
    // answer exists still goes unanswered in 0.7% of discoveries after three sends, 0.03% after five.
    static constexpr int kOverlapTestSends = 5;
    // One turn of the listener: how long it waits for a datagram, and so how late it notices a
    // stop request that arrives without a wake-up datagram. Also its pause after a failed
    // receive, so that a broken socket cannot spin a core.
    static constexpr std::chrono::milliseconds kListenerTurn{100};
    // Behind a symmetric NAT, a latest port measured this recently still says where the NAT's
    // counter stands when a block of answers goes out; older, it is measured again first. A new
    // measurement is itself about a round trip old when its answer comes, so measuring more
    // often would not be fresher.
    static constexpr std::chrono::milliseconds kLatestPortFresh{1};
    // Port mapping. A router that maps answers within a few milliseconds on its own network:
    // discovery waits at most this long after it started asking, whatever the protocols still
    // do, and a deletion at shutdown waits no longer for its answer either.
    static constexpr std::chrono::milliseconds kMapperBudget{250};
    // A PCP or NAT-PMP request goes again after this long without an answer, so a lost datagram
    // costs one step of the budget, not the protocols' seconds-long first retry.
    static constexpr std::chrono::milliseconds kMapperResend{60};
    // NAT-PMP waits this long for PCP's outcome on the same port before it asks: a gateway's ICMP
    // refusal of PCP, which comes within a LAN round trip, answers for NAT-PMP too, and a router
    // rate-limits its refusals (Linux: a burst of six, then one a second), so each one counts.
    static constexpr std::chrono::milliseconds kMapperRefusalWait{20};
    // Discovery waits the whole budget only for a gateway from which some protocol heard back
    // within this long: a mapper answers within a LAN round trip, and a router that rate-limits
    // its refusals looks silent, which must not cost every discovery a quarter second. The asking
    // goes on behind; a mapping granted later serves the next discovery.
    static constexpr std::chrono::milliseconds kMapperFirstAnswer{15};
    // A gateway that stayed silent to every protocol is not asked again for this long: a silent
    // router costs one budget per ten minutes, not one per discovery.
    static constexpr std::chrono::minutes kNoMapperMemory{10};
    // The lease asked for: long enough to renew rarely, short enough that a crashed game leaves
    // its one mapping behind for two hours at most. Renewed at half of what the router granted.
    static constexpr std::chrono::seconds kMappingLease{7200};
};

}  // namespace tarn::client::impl::util
