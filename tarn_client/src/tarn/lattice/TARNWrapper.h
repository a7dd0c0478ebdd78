#pragma once

#include <map>
#include <string>
#include <vector>

#include "tarn/client/Configurator.h"
#include "tarn/client/Export.h"
#include "tarn/client/LoggingService.h"
#include "tarn/client/NatMeasurement.h"
#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/lattice/ILatticeServiceClient.h"

namespace tarn::lattice {

// The library's one entry point: a process-wide singleton. Every operation blocks on the
// caller's thread. One operation at a time: while notifyLattice or connect runs (or an operation
// of the C interface, tarn/tarn.h), a second one returns false at once after one WARN line. The
// host must make its first getInstance call before several of its threads use the library.
//
// Nothing the library throws reaches the host: each operation catches it, logs it at ERROR and
// returns its failure value (false, or the empty topology and measurement). Only the host's own
// proxy may throw through notifyLattice and connect.
class TARN_API TARNWrapper {
public:
    // Featurette, method names and parameter keys of the meta-service reports.
    static const char* const UID;
    static const char* const FEATURETTE;
    static const char* const MTD_DSC;
    static const char* const MTD_P2P;
    static const char* const LOCAL_IP;
    static const char* const LOCAL_PORT;
    static const char* const PUBLIC_IP;
    static const char* const PUBLIC_PORT;
    static const char* const NAT_TYPE;
    static const char* const NAT_BEHAVIOR;
    static const char* const NAT_INCR;
    static const char* const GAME_ID;
    static const char* const FAILS;
    static const char* const TOTAL;
    static const char* const PERSONA_ID;

    static TARNWrapper& getInstance();

    // Not virtual, and releases nothing: the proxy belongs to the host, the services to the registry.
    ~TARNWrapper();
    TARNWrapper(const TARNWrapper&) = delete;
    TARNWrapper& operator=(const TARNWrapper&) = delete;

    // Not owned; null clears it, and every later report then fails.
    virtual void setLatticeProxy(Velk::LS::ILatticeServiceClient* proxy);

    // Discovers the local topology and sends the "SetNatType" report; true when it was delivered.
    // False at once while another operation runs, or after tarn_shutdown.
    bool notifyLattice(const std::string& userId);
    // Tries to reach every peer, writes each peer's connection and sends the "UpdateP2PInfo"
    // report; true when connectivity ran without an exception and the report was delivered.
    // False at once, peers untouched, while another operation runs or after tarn_shutdown.
    bool connect(long clientId, const std::string& gameId, std::vector<tarn::client::Peer>& peers) const;

    // These two have no failure value: their services report their own failures and throw
    // nothing but std::bad_alloc.
    tarn::client::Configurator& getConfigurator() const;
    tarn::client::LoggingService& getLoggingService() const;
    // The last discovered topology, at once: no network work, not even the connection
    // service's initialization (notifyLattice and connect do that).
    const tarn::client::Topology& getCurrentTopology() const;
    // What the last discovery measured: with the topology's NatInfo it gives the NAT's mapping and
    // filtering behaviour in today's standard terms. At once, like getCurrentTopology.
    const tarn::client::NatMeasurement& getNatMeasurement() const;
    std::string getTARNClientVersion() const;

private:
    TARNWrapper();

    friend class LatticeReport;
    // Meta-service return codes and their log texts.
    static std::map<int, std::string> returnCodes;

    Velk::LS::ILatticeServiceClient* proxy;
};

}  // namespace tarn::lattice
