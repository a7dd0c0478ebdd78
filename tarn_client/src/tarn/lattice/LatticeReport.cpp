#include "tarn/lattice/LatticeReport.h"

#include <cstring>
#include <memory>
#include <sstream>

#include "tarn/client/impl/Log.h"
#include "tarn/lattice/TARNWrapper.h"

namespace tarn::lattice {

using client::ConnectionType;
using client::impl::Log;

// Numbers go through std::to_string, which ignores the host's global locale: the meta service parses
// them and must never see digit grouping.
std::vector<std::string> LatticeReport::generateLatticeDscParms(const std::string& userId,
                                                                const client::Topology& topology) {
    return {TARNWrapper::UID,          userId,
            TARNWrapper::LOCAL_IP,     topology.localAddr,
            TARNWrapper::LOCAL_PORT,   std::to_string(topology.localPort),
            TARNWrapper::PUBLIC_IP,    topology.publicAddr,
            TARNWrapper::PUBLIC_PORT,  std::to_string(topology.publicPort),
            TARNWrapper::NAT_TYPE,     std::to_string(static_cast<std::int32_t>(topology.nat.type)),
            TARNWrapper::NAT_BEHAVIOR, std::to_string(static_cast<std::int32_t>(topology.nat.behavior)),
            TARNWrapper::NAT_INCR,     std::to_string(topology.nat.increment)};
}

std::vector<std::string> LatticeReport::generateLatticeP2PParms(std::vector<client::Peer>& peers,
                                                                const std::string& gameId,
                                                                const client::Topology& topology,
                                                                long clientId) {
    long relays = 0;
    std::size_t total = peers.size();
    for (client::Peer& peer : peers) {
        if (peer.connection == ConnectionType::NONE) {
            peer.connection = ConnectionType::RELAY;
        } else if (peer.connection == ConnectionType::SELF) {
            --total;
        }
        if (peer.connection == ConnectionType::RELAY) {
            ++relays;
        }
    }
    Log::info(kLogger, "generateLatticeP2PParms",
              "[CHECKPOINT@P2P_END] FINAL P2P RESULT: UDP RELAY USAGE = %1% of %2% PEER(S); "
              "PEER LIST FOR CLIENT/GAME %3%/%4% = %5%",
              relays, total, clientId, gameId, Log::listText(peers));
    return {TARNWrapper::GAME_ID,     gameId,
            TARNWrapper::FAILS,       std::to_string(relays),
            TARNWrapper::TOTAL,       std::to_string(peers.size()),
            TARNWrapper::PUBLIC_IP,   topology.publicAddr,
            TARNWrapper::PUBLIC_PORT, std::to_string(topology.publicPort),
            TARNWrapper::PERSONA_ID,  std::to_string(clientId),
            TARNWrapper::LOCAL_PORT,  std::to_string(topology.localPort)};
}

bool LatticeReport::sendToLattice(const std::string& featurette, const std::string& method,
                                  const std::vector<std::string>& parameters,
                                  Velk::LS::ILatticeServiceClient* proxy) {
    if (proxy == nullptr) {
        Log::error(kLogger, "sendToLattice000", "Cannot send message to Lattice: proxy was not set");
        return false;
    }
    // The proxy gets copies that live exactly as long as the call; owners free them even when it throws.
    std::vector<std::unique_ptr<char[]>> copies;
    std::vector<const char*> array;
    copies.reserve(parameters.size());
    array.reserve(parameters.size());
    std::ostringstream text;
    text << "Lattice " << featurette << "::" << method << " parameters = \n[\n";
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const std::string& parameter = parameters[i];
        copies.emplace_back(new char[parameter.size() + 1]);
        std::memcpy(copies.back().get(), parameter.c_str(), parameter.size() + 1);
        array.push_back(copies.back().get());
        if (i % 2 == 0) {
            text << "\t" << parameter;
        } else {
            text << " = " << parameter << "\n";
        }
    }
    text << "]";
    Log::debug(kLogger, "sendToLattice001", text.str());
    const std::intptr_t context = proxy->getContext();
    const std::int32_t code =
        proxy->invoke(featurette.c_str(), method.c_str(), context, array.empty() ? nullptr : array.data(),
                      static_cast<std::int32_t>(parameters.size() / 2), 0, 0);
    copies.clear();
    Log::debug(kLogger, "sendToLattice004", "Lattice return code %1%: %2%", code, returnCodeText(code));
    return code == 0;
}

std::string LatticeReport::returnCodeText(int code) {
    auto found = TARNWrapper::returnCodes.find(code);
    return found == TARNWrapper::returnCodes.end() ? "Lattice error" : found->second;
}

}  // namespace tarn::lattice
