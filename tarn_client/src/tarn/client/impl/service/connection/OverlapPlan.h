#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tarn::client::impl::service::connection {

// The rounds of a connectivity pass with tarn.connect.overlap = 1, and its one decision about
// answers. Pure: no socket, no clock.
//
// The documented order spends one private round and then retries + 1 public rounds. The
// overlapped pass has the same rounds of the same lengths, so it gives up on a peer (RELAY) no
// later, but its first round pings every endpoint at once: the peers' local endpoints and,
// through the public connector, their public endpoints, relay requests and predicted ports.
// Later rounds are public rounds. The first round is also the private window: a peer that may
// share our private network and answers publicly first is decided only when its private answer
// comes or the window closes, so a hairpinning NAT cannot turn a private peer public.
class OverlapPlan {
public:
    struct Round {
        std::chrono::milliseconds timeout;
        // The first round: pings the local endpoints too, resends at doubling steps and closes
        // the private window when it ends.
        bool first;
        // At its end a block of the symmetric schedule whose relayed ping has not come is given
        // up. Not after the first round: a peer that keeps the documented order sends its relay
        // request only once its own private round is over.
        bool givesUpBlocks;
    };

    // The pass's rounds: the private round's length first, then retries + 1 public rounds
    // (none when retries + 1 is 0 or less). The last round always gives up the blocks.
    static std::vector<Round> rounds(std::chrono::milliseconds privateTimeout,
                                     std::chrono::milliseconds publicTimeout, int retries);
    // Whether a peer may be on our private network, so that its public answer must wait for the
    // private window: its public address is ours (behind the same NAT), or its local address lies
    // in our local address's subnet (ownMask in dotted form). An address that is not dotted IPv4
    // text counts as may-share: the wait costs time, a wrong public mark a private path.
    static bool mayShareNetwork(const std::string& ownLocal, const std::string& ownMask,
                                const std::string& ownPublic, const std::string& peerLocal,
                                const std::string& peerPublic);
};

}  // namespace tarn::client::impl::service::connection
