#include "tarn/lattice/LatticeOperations.h"

#include <ctime>
#include <exception>
#include <functional>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/lattice/LatticeReport.h"
#include "tarn/lattice/TARNWrapper.h"

namespace tarn::lattice {

using client::impl::Log;
using client::impl::ServiceRegistry;

namespace {

// Runs an operation's work. What it throws is logged at ERROR under (tag, text with the
// exception's text) or, for anything that is no std::exception, (unknownTag, unknownText), and
// marks the work failed: the report still goes out.
void runWork(const std::function<void()>& work, const char* tag, const char* text, const char* unknownTag,
             const char* unknownText, bool& workFailed) {
    try {
        work();
    } catch (const std::exception& e) {
        Log::error(kLogger, tag, text, e.what());
        workFailed = true;
    } catch (...) {
        Log::error(kLogger, unknownTag, unknownText);
        workFailed = true;
    }
}

}  // namespace

LatticeOperations::Outcome LatticeOperations::notifyLattice(const std::string& userId,
                                                            Velk::LS::ILatticeServiceClient* proxy) {
    Outcome outcome;
    std::vector<std::string> parameters;
    std::time_t t0 = 0;
    std::time_t t1 = 0;
    try {
        Log::trace(kLogger, "notifyLattice000", "Doing discovery");
        t0 = std::time(nullptr);
        runWork([] { ServiceRegistry::instance().getConnectionService().discoverTopology(); },
                "notifyLattice001", "Could not do discovery: %1%", "notifyLattice002",
                "Unknown discovery exception", outcome.workFailed);
        t1 = std::time(nullptr);
        const client::Topology& topology =
            ServiceRegistry::instance().peekConnectionService().getCurrentTopology();
        Log::info(kLogger, "notifyLattice003", "[CHECKPOINT@DSCVR] DETECTED LOCAL TOPOLOGY = %1%", topology);
        if (!topology.isValid()) {
            Log::error(kLogger, "notifyLattice004", "Lattice NOT NOTIFIED; invalid local topology");
            outcome.workFailed = true;
            return outcome;
        }
        parameters = LatticeReport::generateLatticeDscParms(userId, topology);
    } catch (...) {
        logFailure("notifyLattice005");
        outcome.libraryFailure = true;
        return outcome;
    }
    // Outside the guard: the proxy is the host's own, and what it throws is the host's to catch.
    outcome.report = send(TARNWrapper::MTD_DSC, parameters, proxy);
    const std::time_t t2 = std::time(nullptr);
    Log::debug(kLogger, "notifyLattice999", "Discovery %1%; discovery=%2% sec, Lattice messaging=%3% sec",
               outcome.report == Report::DELIVERED ? "successful" : "FAILED", std::difftime(t1, t0),
               std::difftime(t2, t1));
    return outcome;
}

LatticeOperations::Outcome LatticeOperations::connect(long clientId, const std::string& gameId,
                                                      std::vector<client::Peer>& peers,
                                                      Velk::LS::ILatticeServiceClient* proxy) {
    Outcome outcome;
    std::vector<std::string> parameters;
    std::time_t t0 = 0;
    std::time_t t1 = 0;
    try {
        Log::info(kLogger, "connect000", "[CHECKPOINT@P2P_START] GAME/CLIENT = %1%/%2%", gameId, clientId);
        if (peers.empty()) {
            Log::trace(kLogger, "connect001", "Zero length peer list specified");
            outcome.workFailed = true;
            return outcome;
        }
        t0 = std::time(nullptr);
        runWork(
            [&] {
                ServiceRegistry::instance().getConnectionService().discoverConnectivity(clientId, gameId,
                                                                                        peers);
            },
            "connect003", "Could not do p2p connectivity: %1%", "connect004",
            "Unknown connectivity exception", outcome.workFailed);
        t1 = std::time(nullptr);
        parameters = LatticeReport::generateLatticeP2PParms(
            peers, gameId, ServiceRegistry::instance().peekConnectionService().getCurrentTopology(),
            clientId);
    } catch (...) {
        logFailure("connect007");
        outcome.libraryFailure = true;
        return outcome;
    }
    // Outside the guard, as in notifyLattice.
    outcome.report = send(TARNWrapper::MTD_P2P, parameters, proxy);
    if (outcome.report != Report::DELIVERED) {
        Log::error(kLogger, "connect005", "Could not pass P2P details to Lattice");
    }
    const std::time_t t2 = std::time(nullptr);
    Log::debug(kLogger, "connect006", "P2P %1%; connected=%2% sec, Lattice messaging=%3% sec",
               outcome.workFailed ? "FAILED" : "successful", std::difftime(t1, t0), std::difftime(t2, t1));
    return outcome;
}

// A line that cannot be written is given up: the facade must not throw in the library's place.
void LatticeOperations::logFailure(const char* tag) noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            Log::error(kLogger, tag, "Library failure: %1%", e.what());
        } catch (...) {
            Log::error(kLogger, tag, "Library failure: unknown exception");
        }
    } catch (...) {
    }
}

LatticeOperations::Report LatticeOperations::send(const char* method,
                                                  const std::vector<std::string>& parameters,
                                                  Velk::LS::ILatticeServiceClient* proxy) {
    if (LatticeReport::sendToLattice(TARNWrapper::FEATURETTE, method, parameters, proxy)) {
        return Report::DELIVERED;
    }
    return proxy == nullptr ? Report::NO_PROXY : Report::REFUSED;
}

}  // namespace tarn::lattice
