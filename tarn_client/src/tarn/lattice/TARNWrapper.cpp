#include "tarn/lattice/TARNWrapper.h"

#include <string>
#include <vector>

#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/lattice/LatticeOperations.h"
#include "tarn/lattice/OperationGate.h"

namespace tarn::lattice {

using client::impl::ServiceRegistry;

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
    OperationGate::Pass pass("notifyLattice");
    if (!pass.admitted()) {
        pass.logRefusal("notifyLattice006");
        return false;
    }
    const LatticeOperations::Outcome outcome = LatticeOperations::notifyLattice(userId, proxy);
    return outcome.report == LatticeOperations::Report::DELIVERED;
}

bool TARNWrapper::connect(long clientId, const std::string& gameId, std::vector<client::Peer>& peers) const {
    OperationGate::Pass pass("connect");
    if (!pass.admitted()) {
        pass.logRefusal("connect008");
        return false;
    }
    const LatticeOperations::Outcome outcome = LatticeOperations::connect(clientId, gameId, peers, proxy);
    return !outcome.workFailed && outcome.report == LatticeOperations::Report::DELIVERED;
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
        LatticeOperations::logFailure("getCurrentTopology");
    }
    static const client::Topology none;
    return none;
}

const client::NatMeasurement& TARNWrapper::getNatMeasurement() const {
    try {
        return ServiceRegistry::instance().peekConnectionService().getNatMeasurement();
    } catch (...) {
        LatticeOperations::logFailure("getNatMeasurement");
    }
    static const client::NatMeasurement none;
    return none;
}

std::string TARNWrapper::getTARNClientVersion() const {
    try {
        return ServiceRegistry::instance().getVersion();
    } catch (...) {
        LatticeOperations::logFailure("getTARNClientVersion");
    }
    return ServiceRegistry::kInterfaceVersion;
}

}  // namespace tarn::lattice
