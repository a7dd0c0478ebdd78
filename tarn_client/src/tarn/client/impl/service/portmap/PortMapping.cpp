#include "tarn/client/impl/service/portmap/PortMapping.h"

namespace tarn::client::impl::service::portmap {

const char* protocolName(MappingProtocol protocol) {
    switch (protocol) {
        case MappingProtocol::PCP:
            return "PCP";
        case MappingProtocol::NAT_PMP:
            return "NAT-PMP";
        case MappingProtocol::UPNP:
            return "UPnP-IGD";
    }
    return "unknown";
}

}  // namespace tarn::client::impl::service::portmap
