#pragma once

#include <ostream>

#include "tarn/client/ConnectionType.h"
#include "tarn/client/Export.h"
#include "tarn/client/Topology.h"

namespace tarn::client {

// One player of a game: the topology it reported and, after connect, how we reach it.
// std::vector<Peer> crosses the library boundary, so field order and widths are fixed.
struct TARN_API Peer {
    // Written by the host: the topology the peer discovered for itself.
    Topology topology;
    // Written by the library; the host passes NONE.
    ConnectionType connection = ConnectionType::NONE;
    // The peer's client id: a 32-bit value, held in a long.
    long identifier = 0;
};

// [identifier=17, connection=RELAY, topology=[...]]: identifier first, unlike the field order.
TARN_API std::ostream& operator<<(std::ostream& out, const Peer& peer);

}  // namespace tarn::client
