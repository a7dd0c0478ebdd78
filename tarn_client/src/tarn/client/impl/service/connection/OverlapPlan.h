#pragma once

#include <string>

namespace tarn::client::impl::service::connection {

// Who may share our private network, for the overlapped pass's private window and for the
// primers that must not reach such a peer. Pure: no socket. The rounds of either order are
// PassPlan's.
class OverlapPlan {
public:
    // Whether a peer may be on our private network, so that its public answer must wait for the
    // private window: its public address is ours (behind the same NAT), or its local address lies
    // in our local address's subnet (ownMask in dotted form). An address that is not dotted IPv4
    // text counts as may-share: the wait costs time, a wrong public mark a private path.
    static bool mayShareNetwork(const std::string& ownLocal, const std::string& ownMask,
                                const std::string& ownPublic, const std::string& peerLocal,
                                const std::string& peerPublic);
};

}  // namespace tarn::client::impl::service::connection
