#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tarn/client/Export.h"
#include "tarn/client/NatInfo.h"

namespace tarn::client {

// The local network topology as discovery sees it. Field order and widths are part of the host
// interface (a Topology travels inside every Peer).
struct TARN_API Topology {
    NatInfo nat;
    // Dotted IPv4 address the library binds to.
    std::string localAddr;
    std::int32_t localPort = 0;
    // Dotted IPv4 address under which the rendezvous servers see us.
    std::string publicAddr;
    std::int32_t publicPort = 0;

    // The one validity rule: known NAT type and behaviour, increment >= 0, a local address that
    // is neither empty nor 0.0.0.0, a public address, and both ports above 0. Addresses are not parsed.
    bool isValid() const;
};

// [NAT=[...], local addr=192.168.0.10:600, public addr=198.51.100.20:600]
TARN_API std::ostream& operator<<(std::ostream& out, const Topology& topology);

}  // namespace tarn::client
