#pragma once

#include <string>
#include <vector>

#include "tarn/client/Peer.h"
#include "tarn/lattice/ILatticeServiceClient.h"

namespace tarn::lattice {

// The work of the facade's two operations, shared by TARNWrapper and the C interface, which
// tell their callers different things about it. The caller holds the OperationGate; each call
// reports through the proxy it is given.
class LatticeOperations {
public:
    enum class Report { NOT_SENT, DELIVERED, NO_PROXY, REFUSED };

    struct Outcome {
        // An unexpected failure of the library, logged as "Library failure"; nothing was reported.
        bool libraryFailure = false;
        // Discovery threw or left no valid topology; the pass threw.
        bool workFailed = false;
        Report report = Report::NOT_SENT;
    };

    // Discovery and its "SetNatType" report (the body of TARNWrapper::notifyLattice).
    static Outcome notifyLattice(const std::string& userId, Velk::LS::ILatticeServiceClient* proxy);
    // The pass and its "UpdateP2PInfo" report (the body of TARNWrapper::connect); an empty list
    // counts as failed work.
    static Outcome connect(long clientId, const std::string& gameId, std::vector<tarn::client::Peer>& peers,
                           Velk::LS::ILatticeServiceClient* proxy);
    // Logs, at ERROR, the exception being handled; call it from a catch block. Never throws.
    static void logFailure(const char* tag) noexcept;

private:
    static Report send(const char* method, const std::vector<std::string>& parameters,
                       Velk::LS::ILatticeServiceClient* proxy);
};

}  // namespace tarn::lattice
