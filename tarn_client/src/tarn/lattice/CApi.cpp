// The C interface of tarn/tarn.h over the facade's operations. Every entry point catches
// everything: no exception may unwind into a C caller.
#include "tarn/tarn.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarn/client/ConnectionType.h"
#include "tarn/client/NatBehavior.h"
#include "tarn/client/NatType.h"
#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/ServiceRegistry.h"
#include "tarn/client/impl/service/portmap/PortMapper.h"
#include "tarn/lattice/AsyncRunner.h"
#include "tarn/lattice/LatticeOperations.h"
#include "tarn/lattice/OperationGate.h"
#include "tarn/lattice/ReportHandlerClient.h"

namespace {

using tarn::client::ConnectionType;
using tarn::client::NatBehavior;
using tarn::client::NatType;
using tarn::client::Peer;
using tarn::client::Topology;
using tarn::client::impl::ServiceRegistry;
using tarn::client::impl::service::portmap::PortMapper;
using tarn::lattice::AsyncRunner;
using tarn::lattice::LatticeOperations;
using tarn::lattice::OperationGate;
using tarn::lattice::ReportHandlerClient;

// The C numbers are the model's: a host may store either.
static_assert(TARN_NAT_SYMMETRIC == static_cast<int>(NatType::SYMMETRIC) &&
                  TARN_NAT_PORT_RESTRICTED_CONE == static_cast<int>(NatType::PORT_RESTRICTED_CONE) &&
                  TARN_NAT_RESTRICTED_CONE == static_cast<int>(NatType::RESTRICTED_CONE) &&
                  TARN_NAT_FULL_CONE == static_cast<int>(NatType::FULL_CONE) &&
                  TARN_NAT_NONE == static_cast<int>(NatType::NONE) &&
                  TARN_NAT_UNKNOWN == static_cast<int>(NatType::UNKNOWN),
              "NAT type numbers");
static_assert(TARN_BEHAVIOR_PORT_SENSITIVE == static_cast<int>(NatBehavior::PORT_SENSITIVE) &&
                  TARN_BEHAVIOR_ADDRESS_SENSITIVE == static_cast<int>(NatBehavior::ADDRESS_SENSITIVE) &&
                  TARN_BEHAVIOR_NOT_SENSITIVE == static_cast<int>(NatBehavior::NOT_SENSITIVE) &&
                  TARN_BEHAVIOR_UNKNOWN == static_cast<int>(NatBehavior::UNKNOWN),
              "NAT behaviour numbers");
static_assert(TARN_CONNECTION_SELF == static_cast<int>(ConnectionType::SELF) &&
                  TARN_CONNECTION_RELAY == static_cast<int>(ConnectionType::RELAY) &&
                  TARN_CONNECTION_DIRECT_PUBLIC == static_cast<int>(ConnectionType::DIRECT_PUBLIC) &&
                  TARN_CONNECTION_DIRECT_PRIVATE == static_cast<int>(ConnectionType::DIRECT_PRIVATE) &&
                  TARN_CONNECTION_NONE == static_cast<int>(ConnectionType::NONE),
              "connection numbers");

// Set by a tarn_shutdown that could not wait (called from done or a report handler): a call that
// done started before it is then answered without running, since nobody waits for it.
std::atomic<bool> shutDownFromInside{false};

// The text of this thread's last failed call.
thread_local std::string lastError;

int fail(int code, const std::string& text) {
    lastError = text;
    return code;
}

// Runs body and turns whatever it throws into TARN_E_INTERNAL.
int guarded(const char* function, const std::function<int()>& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            LatticeOperations::logFailure(function);
            lastError = std::string(function) + ": library failure: " + e.what();
        } catch (...) {
        }
    } catch (...) {
        try {
            LatticeOperations::logFailure(function);
            lastError = std::string(function) + ": library failure";
        } catch (...) {
        }
    }
    return TARN_E_INTERNAL;
}

int refused(const OperationGate::Pass& pass, const char* function) {
    pass.logRefusal(function);
    return fail(pass.answer() == OperationGate::Answer::BUSY ? TARN_E_BUSY : TARN_E_SHUTDOWN, pass.refusal());
}

void copyAddress(const std::string& text, char (&to)[TARN_ADDR_SIZE]) {
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(TARN_ADDR_SIZE - 1));
    std::memcpy(to, text.data(), length);
    to[length] = '\0';
}

// The library keeps -1 for a port it does not know; C gets 0.
std::uint16_t portOf(std::int32_t port) {
    return port > 0 && port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

void toC(const Topology& from, tarn_topology& to) {
    to.nat_type = static_cast<std::int32_t>(from.nat.type);
    to.nat_behavior = static_cast<std::int32_t>(from.nat.behavior);
    to.nat_increment = from.nat.increment;
    copyAddress(from.localAddr, to.local_addr);
    to.local_port = portOf(from.localPort);
    copyAddress(from.publicAddr, to.public_addr);
    to.public_port = portOf(from.publicPort);
}

bool terminated(const char (&text)[TARN_ADDR_SIZE]) {
    return std::memchr(text, '\0', TARN_ADDR_SIZE) != nullptr;
}

// The host's peer list as the model's, or the first problem found in it.
std::string fromC(const tarn_peer* peers, std::size_t count, std::vector<Peer>& to) {
    to.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const tarn_peer& from = peers[i];
        const tarn_topology& topology = from.topology;
        const std::string which = "peers[" + std::to_string(i) + "]";
        if (!terminated(topology.local_addr) || !terminated(topology.public_addr)) {
            return which + ": an address lacks its terminating NUL";
        }
        if (topology.nat_type < TARN_NAT_UNKNOWN || topology.nat_type > TARN_NAT_SYMMETRIC ||
            topology.nat_behavior < TARN_BEHAVIOR_UNKNOWN ||
            topology.nat_behavior > TARN_BEHAVIOR_PORT_SENSITIVE || from.connection < TARN_CONNECTION_NONE ||
            from.connection > TARN_CONNECTION_SELF) {
            return which + ": nat_type, nat_behavior or connection outside its table";
        }
        // A long is 32 bits on some platforms.
        if (static_cast<std::int64_t>(static_cast<long>(from.id)) != from.id) {
            return which + ": id " + std::to_string(from.id) + " does not fit a long here";
        }
        Peer& peer = to[i];
        peer.identifier = static_cast<long>(from.id);
        peer.connection = static_cast<ConnectionType>(from.connection);
        peer.topology.nat.type = static_cast<NatType>(topology.nat_type);
        peer.topology.nat.behavior = static_cast<NatBehavior>(topology.nat_behavior);
        peer.topology.nat.increment = topology.nat_increment;
        peer.topology.localAddr = topology.local_addr;
        peer.topology.localPort = topology.local_port;
        peer.topology.publicAddr = topology.public_addr;
        peer.topology.publicPort = topology.public_port;
    }
    return "";
}

// What the pass wrote: each connection, and the public endpoint a peer answered from.
void toC(const std::vector<Peer>& from, tarn_peer* to) {
    for (std::size_t i = 0; i < from.size(); ++i) {
        to[i].connection = static_cast<std::int32_t>(from[i].connection);
        copyAddress(from[i].topology.publicAddr, to[i].topology.public_addr);
        to[i].topology.public_port = portOf(from[i].topology.publicPort);
    }
}

int reportResult(const char* function, const LatticeOperations::Outcome& outcome,
                 const ReportHandlerClient& handler) {
    switch (outcome.report) {
        case LatticeOperations::Report::DELIVERED:
            return TARN_OK;
        case LatticeOperations::Report::NO_PROXY:
            return fail(TARN_E_NO_HANDLER, std::string(function) + ": no report handler is set");
        case LatticeOperations::Report::REFUSED:
            return fail(TARN_E_REPORT, std::string(function) + ": the report handler answered " +
                                           std::to_string(handler.lastCode()));
        case LatticeOperations::Report::NOT_SENT:
            break;
    }
    return fail(TARN_E_INTERNAL, std::string(function) + ": no report was sent");
}

// The work of tarn_discover, on whichever thread runs it; the caller holds the gate.
int runDiscover(const char* function, const std::string& userId, tarn_topology& out,
                ReportHandlerClient handler) {
    OperationGate::Running running;
    const LatticeOperations::Outcome outcome = LatticeOperations::notifyLattice(userId, handler.proxy());
    toC(ServiceRegistry::instance().peekConnectionService().getCurrentTopology(), out);
    if (outcome.libraryFailure) {
        return fail(TARN_E_INTERNAL, std::string(function) + ": library failure (see the log)");
    }
    if (outcome.workFailed) {
        return fail(TARN_E_DISCOVERY, std::string(function) + ": discovery failed (see the log)");
    }
    return reportResult(function, outcome, handler);
}

// The work of tarn_connect; the caller holds the gate.
int runConnect(const char* function, long clientId, const std::string& gameId, std::vector<Peer>& peers,
               tarn_peer* out, ReportHandlerClient handler) {
    OperationGate::Running running;
    const LatticeOperations::Outcome outcome =
        LatticeOperations::connect(clientId, gameId, peers, handler.proxy());
    toC(peers, out);
    if (outcome.libraryFailure) {
        return fail(TARN_E_INTERNAL, std::string(function) + ": library failure (see the log)");
    }
    if (outcome.workFailed) {
        return fail(TARN_E_CONNECT, std::string(function) + ": the connectivity pass failed (see the log)");
    }
    return reportResult(function, outcome, handler);
}

// Checks what tarn_connect and its async form are given; "" when it will do.
std::string connectArguments(const char* gameId, const tarn_peer* peers, std::size_t count, long& clientId,
                             std::int64_t id, std::vector<Peer>& converted) {
    if (gameId == nullptr || peers == nullptr || count == 0) {
        return "game_id and peers must be given, count above 0";
    }
    if (static_cast<std::int64_t>(static_cast<long>(id)) != id) {
        return "client_id " + std::to_string(id) + " does not fit a long here";
    }
    clientId = static_cast<long>(id);
    return fromC(peers, count, converted);
}

// One _async call: what its job needs until it has called done.
struct AsyncCall {
    explicit AsyncCall(const char* function) : function(function), pass(function) {}

    const char* const function;
    // Left by the job before it calls done.
    OperationGate::Pass pass;
    ReportHandlerClient handler = ReportHandlerClient::current();
    tarn_done_fn done = nullptr;
    void* user = nullptr;
    std::function<int(AsyncCall&)> work;
};

// Hands an admitted call to the library thread. Its job runs the work, leaves the gate, and
// calls done exactly once.
int startAsync(const std::shared_ptr<AsyncCall>& call) {
    if (!call->pass.admitted()) {
        return refused(call->pass, call->function);
    }
    const bool posted = AsyncRunner::instance().post([call] {
        // Shut down between the post and now by the done that posted it: done still comes, but
        // nothing is started.
        const int result =
            shutDownFromInside.load()
                ? fail(TARN_E_SHUTDOWN, std::string(call->function) + ": the library has been shut down")
                : guarded(call->function, [&call] { return call->work(*call); });
        call->pass.release();
        call->done(call->user, result);
    });
    return posted ? TARN_OK
                  : fail(TARN_E_SHUTDOWN, std::string(call->function) + ": the library has been shut down");
}

}  // namespace

extern "C" {

// The C interface keeps the snake_case names of tarn.h, parameters included: its messages name them.
// NOLINTBEGIN(readability-identifier-naming)
const char* tarn_version(void) {
    return TARN_CLIENT_VERSION;
}

int tarn_config_set(const char* key, const char* value) {
    return guarded("tarn_config_set", [&] {
        if (key == nullptr || value == nullptr || *key == '\0') {
            return fail(TARN_E_INVALID, "tarn_config_set: key and value must be given, the key not empty");
        }
        OperationGate::Pass pass("tarn_config_set");
        if (!pass.admitted()) {
            return refused(pass, "tarn_config_set");
        }
        ServiceRegistry::instance().getConfigurator().setValue(key, value);
        return TARN_OK;
    });
}

void tarn_set_report_handler(tarn_report_fn fn, void* user) {
    ReportHandlerClient::set(fn, user);
}

int tarn_discover(const char* user_id, tarn_topology* out) {
    return guarded("tarn_discover", [&] {
        if (user_id == nullptr || out == nullptr) {
            return fail(TARN_E_INVALID, "tarn_discover: user_id and out must be given");
        }
        OperationGate::Pass pass("tarn_discover");
        if (!pass.admitted()) {
            return refused(pass, "tarn_discover");
        }
        return runDiscover("tarn_discover", user_id, *out, ReportHandlerClient::current());
    });
}

int tarn_connect(int64_t client_id, const char* game_id, tarn_peer* peers, size_t count) {
    return guarded("tarn_connect", [&] {
        long clientId = 0;
        std::vector<Peer> converted;
        const std::string problem = connectArguments(game_id, peers, count, clientId, client_id, converted);
        if (!problem.empty()) {
            return fail(TARN_E_INVALID, "tarn_connect: " + problem);
        }
        OperationGate::Pass pass("tarn_connect");
        if (!pass.admitted()) {
            return refused(pass, "tarn_connect");
        }
        return runConnect("tarn_connect", clientId, game_id, converted, peers,
                          ReportHandlerClient::current());
    });
}

int tarn_discover_async(const char* user_id, tarn_topology* out, tarn_done_fn done, void* user) {
    return guarded("tarn_discover_async", [&] {
        if (user_id == nullptr || out == nullptr || done == nullptr) {
            return fail(TARN_E_INVALID, "tarn_discover_async: user_id, out and done must be given");
        }
        auto call = std::make_shared<AsyncCall>("tarn_discover_async");
        call->done = done;
        call->user = user;
        call->work = [userId = std::string(user_id), out](AsyncCall& self) {
            return runDiscover(self.function, userId, *out, self.handler);
        };
        return startAsync(call);
    });
}

int tarn_connect_async(int64_t client_id, const char* game_id, tarn_peer* peers, size_t count,
                       tarn_done_fn done, void* user) {
    return guarded("tarn_connect_async", [&] {
        long clientId = 0;
        std::vector<Peer> converted;
        std::string problem = connectArguments(game_id, peers, count, clientId, client_id, converted);
        if (problem.empty() && done == nullptr) {
            problem = "done must be given";
        }
        if (!problem.empty()) {
            return fail(TARN_E_INVALID, "tarn_connect_async: " + problem);
        }
        auto call = std::make_shared<AsyncCall>("tarn_connect_async");
        call->done = done;
        call->user = user;
        call->work = [clientId, gameId = std::string(game_id), list = std::move(converted),
                      peers](AsyncCall& self) mutable {
            return runConnect(self.function, clientId, gameId, list, peers, self.handler);
        };
        return startAsync(call);
    });
}

const char* tarn_last_error(void) {
    return lastError.c_str();
}

void tarn_shutdown(void) {
    try {
        // From done or a report handler nothing is waited for: the operation it is called from
        // (or the one done started) ends after it returns, and the library thread after that.
        const bool outside = OperationGate::instance().close();
        if (!outside) {
            shutDownFromInside = true;
        }
        if (AsyncRunner* runner = AsyncRunner::existing()) {
            runner->stop();
        }
        // The router's mapping is deleted and renewed no more; inside an operation the mapper's
        // own thread deletes it while the operation ends.
        PortMapper::closeAll(outside);
    } catch (...) {
        // Only a failing mutex can throw here; there is nothing left to stop.
    }
}
// NOLINTEND(readability-identifier-naming)

}  // extern "C"
