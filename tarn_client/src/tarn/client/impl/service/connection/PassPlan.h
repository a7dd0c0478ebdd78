#pragma once

#include <chrono>
#include <vector>

#include "tarn/client/NatType.h"

namespace tarn::client::impl::service::connection {

// The steps of one connectivity pass in either order, as plain values: ConnectivityPass runs
// them in one loop and decides nothing about their order itself. Pure: no socket, no clock.
//
// Documented order: the private phase (one round), then the public phase (retries + 1 rounds).
// Overlapped order (tarn.connect.overlap = 1): both phases start together; the first round pings
// the local and the public endpoints at once, is the private window, and ends the private phase;
// then retries + 1 public rounds. Either way a peer that answers nowhere is given up after the
// same time. Behind a symmetric NAT every public round measures the latest port before it
// announces its own ports; the phase's first measurement must succeed, a later one may fail.
class PassPlan {
public:
    enum class Phase { PRIVATE, PUBLIC, PUBLIC_SYMMETRIC };
    // NONE: no measurement; FIRST: a failure ends the pass; AGAIN: a failure repeats the last
    // round's announcements.
    enum class Measure { NONE, FIRST, AGAIN };

    struct Round {
        std::chrono::milliseconds timeout{0};
        bool pingsPrivate = false;
        bool pingsPublic = false;
        // Measured after the private pings, which take ports of a symmetric NAT themselves.
        Measure measure = Measure::NONE;
        // Resends at doubling steps from Intervals::kOverlapFirstStep, else at quarter rounds.
        bool doublingWait = false;
        // The public pings go out as primers and for real at the first resend after realAfter.
        bool primesPublic = false;
        std::chrono::milliseconds realAfter{0};
        bool closesPrivateWindow = false;
        // At its end a block whose relayed ping has not come is given up.
        bool givesUpBlocks = false;
        // Whether a round line of `phase` follows while peers remain.
        bool roundLine = false;
    };

    struct Step {
        enum class Kind { START, ROUND, END };
        Kind kind;
        // The phase the START or END line belongs to, or whose connector the round's wait is
        // logged under (the private round's, else the public's).
        Phase phase;
        Round round;
    };

    struct Settings {
        std::chrono::milliseconds privateTimeout;
        std::chrono::milliseconds publicTimeout;
        int retries;
    };

    // The pass's steps. A phase with no round (retries + 1 of 0 or less) still has its START and
    // END.
    static std::vector<Step> rounds(bool overlap, NatType ownNat, const Settings& settings);
};

}  // namespace tarn::client::impl::service::connection
