#include "tarn/lattice/TARNWrapper.h"

#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/lattice/LatticeReport.h"

namespace tarn::lattice {

using client::impl::Log;
using client::impl::ServiceRegistry;

namespace {

// Logs, at ERROR, the exception being handled, which the calling operation turns into its failure
// value. Must be called from a catch block. A line that cannot be written is given up: the facade
// must not throw in the library's place.
void logFailure(const char* tag) noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            Log::error(LOGGER, tag, "Library failure: %1%", e.what());
        } catch (...) {
            Log::error(LOGGER, tag, "Library failure: unknown exception");
        }
    } catch (...) {
    }
}

}  // namespace

const char* const TARNWrapper::UID = "userId";
const char* const TARNWrapper::FEATURETTE = "P2P";
const char* const TARNWrapper::MTD_DSC = "SetNatType";
const char* const TARNWrapper::MTD_P2P = "UpdateP2PInfo";
const char* const TARNWrapper::LOCAL_IP = "localIp";
const char* const TARNWrapper::LOCAL_PORT = "localPort";
const char* const TARNWrapper::PUBLIC_IP = "publicIp";
const char* const TARNWrapper::PUBLIC_PORT = "publicPort";
const char* const TARNWrapper::NAT_TYPE = "natType";
const char* const TARNWrapper::NAT_BEHAVIOR = "natBehavior";
const char* const TARNWrapper::NAT_INCR = "natIncrement";
const char* const TARNWrapper::GAME_ID = "sessionId";
const char* const TARNWrapper::FAILS = "failures";
const char* const TARNWrapper::TOTAL = "peers";
const char* const TARNWrapper::PERSONA_ID = "personaId";

// Empty from library load; the constructor fills it.
std::map<int, std::string> TARNWrapper::returnCodes;

TARNWrapper& TARNWrapper::getInstance() {
    static TARNWrapper instance;
    return instance;
}

TARNWrapper::TARNWrapper() : proxy(nullptr) {
    returnCodes = {{-1, "Unknown error"},
                   {0, "Successful transmission to Lattice"},
                   {105, "Lattice server unreachable"},
                   {106, "Missing intf version"},
                   {107, "Corrupt server version"},
                   {108, "Invalid server response"},
                   {109, "Project version mismatch"},
                   {200, "No featurette name"},
                   {201, "No function name"},
                   {202, "Featurette mismatch"},
                   {203, "Lattice unreachable"},
                   {204, "Invalid request"}};
}

TARNWrapper::~TARNWrapper() = default;

void TARNWrapper::setLatticeProxy(Velk::LS::ILatticeServiceClient* newProxy) {
    proxy = newProxy;
}

bool TARNWrapper::notifyLattice(const std::string& userId) {
    std::vector<std::string> parameters;
    std::time_t t0 = 0;
    std::time_t t1 = 0;
    try {
        Log::trace(LOGGER, "notifyLattice000", "Doing discovery");
        t0 = std::time(nullptr);
        try {
            ServiceRegistry::instance().getConnectionService().discoverTopology();
        } catch (const std::exception& e) {
            Log::error(LOGGER, "notifyLattice001", "Could not do discovery: %1%", e.what());
        } catch (...) {
            Log::error(LOGGER, "notifyLattice002", "Unknown discovery exception");
        }
        t1 = std::time(nullptr);
        const client::Topology& topology =
            ServiceRegistry::instance().peekConnectionService().getCurrentTopology();
        Log::info(LOGGER, "notifyLattice003", "[CHECKPOINT@DSCVR] DETECTED LOCAL TOPOLOGY = %1%", topology);
        if (!topology.isValid()) {
            Log::error(LOGGER, "notifyLattice004", "Lattice NOT NOTIFIED; invalid local topology");
            return false;
        }
        parameters = LatticeReport::generateLatticeDscParms(userId, topology);
    } catch (...) {
        logFailure("notifyLattice005");
        return false;
    }
    // Outside the guard: the proxy is the host's own, and what it throws is the host's to catch.
    const bool sent = LatticeReport::sendToLattice(FEATURETTE, MTD_DSC, parameters, proxy);
    const std::time_t t2 = std::time(nullptr);
    Log::debug(LOGGER, "notifyLattice999", "Discovery %1%; discovery=%2% sec, Lattice messaging=%3% sec",
               sent ? "successful" : "FAILED", std::difftime(t1, t0), std::difftime(t2, t1));
    return sent;
}

bool TARNWrapper::connect(long clientId, const std::string& gameId, std::vector<client::Peer>& peers) const {
    std::vector<std::string> parameters;
    bool connected = true;
    std::time_t t0 = 0;
    std::time_t t1 = 0;
    try {
        Log::info(LOGGER, "connect000", "[CHECKPOINT@P2P_START] GAME/CLIENT = %1%/%2%", gameId, clientId);
        if (peers.empty()) {
            Log::trace(LOGGER, "connect001", "Zero length peer list specified");
            return false;
        }
        t0 = std::time(nullptr);
        try {
            ServiceRegistry::instance().getConnectionService().discoverConnectivity(clientId, gameId, peers);
        } catch (const std::exception& e) {
            Log::error(LOGGER, "connect003", "Could not do p2p connectivity: %1%", e.what());
            connected = false;
        } catch (...) {
            Log::error(LOGGER, "connect004", "Unknown connectivity exception");
            connected = false;
        }
        t1 = std::time(nullptr);
        parameters = LatticeReport::generateLatticeP2PParms(
            peers, gameId, ServiceRegistry::instance().peekConnectionService().getCurrentTopology(),
            clientId);
    } catch (...) {
        logFailure("connect007");
        return false;
    }
    // Outside the guard, as in notifyLattice.
    const bool sent = LatticeReport::sendToLattice(FEATURETTE, MTD_P2P, parameters, proxy);
    if (!sent) {
        Log::error(LOGGER, "connect005", "Could not pass P2P details to Lattice");
    }
    const std::time_t t2 = std::time(nullptr);
    Log::debug(LOGGER, "connect006", "P2P %1%; connected=%2% sec, Lattice messaging=%3% sec",
               connected ? "successful" : "FAILED", std::difftime(t1, t0), std::difftime(t2, t1));
    return sent && connected;
}

client::Configurator& TARNWrapper::getConfigurator() const {
    return ServiceRegistry::instance().getConfigurator();
}

client::LoggingService& TARNWrapper::getLoggingService() const {
    return ServiceRegistry::instance().getLoggingService();
}

const client::Topology& TARNWrapper::getCurrentTopology() const {
    try {
        return ServiceRegistry::instance().peekConnectionService().getCurrentTopology();
    } catch (...) {
        logFailure("getCurrentTopology");
    }
    static const client::Topology none;
    return none;
}

const client::NatMeasurement& TARNWrapper::getNatMeasurement() const {
    try {
        return ServiceRegistry::instance().peekConnectionService().getNatMeasurement();
    } catch (...) {
        logFailure("getNatMeasurement");
    }
    static const client::NatMeasurement none;
    return none;
}

std::string TARNWrapper::getTARNClientVersion() const {
    try {
        return ServiceRegistry::instance().getVersion();
    } catch (...) {
        logFailure("getTARNClientVersion");
    }
    return TARN_CLIENT_VERSION;
}

}  // namespace tarn::lattice
