#include "tarn/client/Peer.h"

namespace tarn::client {

std::ostream& operator<<(std::ostream& out, const Peer& peer) {
    return out << "[identifier=" << peer.identifier << ", connection=" << toString(peer.connection)
               << ", topology=" << peer.topology << "]";
}

}  // namespace tarn::client
