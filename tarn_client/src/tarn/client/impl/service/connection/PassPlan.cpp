#include "tarn/client/impl/service/connection/PassPlan.h"

#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::connection {

namespace {

using Step = PassPlan::Step;

Step phaseLine(Step::Kind kind, PassPlan::Phase phase) {
    return {kind, phase, {}};
}

}  // namespace

std::vector<PassPlan::Step> PassPlan::rounds(bool overlap, NatType ownNat, const Settings& settings) {
    const bool symmetric = ownNat == NatType::SYMMETRIC;
    const Phase publicPhase = symmetric ? Phase::PUBLIC_SYMMETRIC : Phase::PUBLIC;
    std::vector<Step> steps;

    // The private round. Overlapped, it also runs the public phase's first round, and the rounds
    // that follow are the public phase's rounds 1, 2, ...
    Round first;
    first.timeout = settings.privateTimeout;
    first.pingsPrivate = true;
    steps.push_back(phaseLine(Step::Kind::START, Phase::PRIVATE));
    if (overlap) {
        steps.push_back(phaseLine(Step::Kind::START, publicPhase));
        first.pingsPublic = true;
        first.measure = symmetric ? Measure::FIRST : Measure::NONE;
        first.doublingWait = true;
        first.primesPublic = true;
        // Behind a symmetric NAT a cone peer opens its filter only by answering our relayed
        // ping, which may take it a quarter round: the real pings wait that long, as in the
        // documented order.
        if (symmetric) {
            first.realAfter = settings.publicTimeout / util::Intervals::kRoundWaitParts;
        }
        first.closesPrivateWindow = true;
        steps.push_back({Step::Kind::ROUND, publicPhase, first});
    } else {
        first.givesUpBlocks = true;
        first.roundLine = true;
        steps.push_back({Step::Kind::ROUND, Phase::PRIVATE, first});
    }
    steps.push_back(phaseLine(Step::Kind::END, Phase::PRIVATE));

    if (!overlap) {
        steps.push_back(phaseLine(Step::Kind::START, publicPhase));
    }
    for (int round = 0; round <= settings.retries; ++round) {
        Round later;
        later.timeout = settings.publicTimeout;
        later.pingsPublic = true;
        if (symmetric) {
            // Overlapped, the round after the private window keeps the first round's ports: a peer
            // of the documented order starts its public phase at this moment and answers the
            // relayed pings it held meanwhile, which name those ports.
            if (round == 0) {
                later.measure = overlap ? Measure::NONE : Measure::FIRST;
            } else {
                later.measure = Measure::AGAIN;
            }
        }
        // Not after the overlapped first round: a peer of the documented order sends its relay
        // request only once its own private round is over.
        later.givesUpBlocks = true;
        later.roundLine = true;
        steps.push_back({Step::Kind::ROUND, publicPhase, later});
    }
    // The last round gives up the blocks, also when the overlapped first round is the only one.
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (step->kind == Step::Kind::ROUND) {
            step->round.givesUpBlocks = true;
            break;
        }
    }
    steps.push_back(phaseLine(Step::Kind::END, publicPhase));
    return steps;
}

}  // namespace tarn::client::impl::service::connection
