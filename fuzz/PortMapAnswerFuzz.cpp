// Decodes one datagram as the port mapper does with what a gateway's mapper port (PCP and NAT-PMP)
// or its SSDP search answers. A decoded answer must hold what its version and opcode allow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tarn/client/impl/service/portmap/PcpCodec.h"
#include "tarn/client/impl/service/portmap/UpnpClient.h"

using tarn::client::impl::service::portmap::PcpCodec;
using tarn::client::impl::service::portmap::UpnpClient;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto answer = PcpCodec::decode(data, size);
    if (answer) {
        if (answer->version != PcpCodec::kPcpVersion && answer->version != PcpCodec::kNatPmpVersion) {
            std::abort();
        }
        // Only a whole MAP payload or NAT-PMP mapping answer names ports.
        if (answer->externalPort != 0 && size < 16) {
            std::abort();
        }
    }
    const auto location = UpnpClient::locationOf(std::string(reinterpret_cast<const char*>(data), size));
    if (location && (location->empty() || location->size() > size)) {
        std::abort();
    }
    // The LOCATION check reads the same outside text: a host that is not an address is refused.
    const auto lan = boost::asio::ip::make_address_v4("192.168.1.1");
    if (location &&
        UpnpClient::locationAllowed(*location, lan, lan, boost::asio::ip::make_address_v4("255.255.255.0")) &&
        location->find("192.168.1.") == std::string::npos) {
        std::abort();
    }
    return 0;
}
