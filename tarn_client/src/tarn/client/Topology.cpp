#include "tarn/client/Topology.h"

namespace tarn::client {

bool Topology::isValid() const {
    return nat.type != NatType::UNKNOWN && nat.behavior != NatBehavior::UNKNOWN && nat.increment >= 0 &&
           !localAddr.empty() && localAddr != "0.0.0.0" && localPort > 0 && !publicAddr.empty() &&
           publicPort > 0;
}

std::ostream& operator<<(std::ostream& out, const Topology& topology) {
    return out << "[NAT=" << topology.nat << ", local addr=" << topology.localAddr << ":"
               << topology.localPort << ", public addr=" << topology.publicAddr << ":" << topology.publicPort
               << "]";
}

}  // namespace tarn::client
