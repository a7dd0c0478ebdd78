#pragma once

#include <string>
#include <vector>

#include "tarn/client/Peer.h"

namespace tarn {
namespace client {
namespace impl {
namespace service {
namespace connection {

struct ConnectionServiceData;

// One connectivity pass of the connection service: the private phase, the public phase in
// rounds, and the final relay marking, written into the caller's peer list.
class ConnectivityPass {
public:
    // serviceName is the logger name of every line; initialized tells whether the service is.
    static void discoverConnectivity(const std::string& serviceName, bool initialized,
                                     ConnectionServiceData& engines, long clientId, const std::string& gameId,
                                     std::vector<Peer>& peers);
};

}  // namespace connection
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
