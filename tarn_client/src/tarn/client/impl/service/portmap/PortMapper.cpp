#include "tarn/client/impl/service/portmap/PortMapper.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/service/portmap/Gateway.h"
#include "tarn/client/impl/service/portmap/LeaseRules.h"
#include "tarn/client/impl/service/portmap/MappingTrust.h"
#include "tarn/client/impl/service/portmap/NatPmpClient.h"
#include "tarn/client/impl/service/portmap/PcpClient.h"
#include "tarn/client/impl/service/portmap/UpnpClient.h"

namespace tarn::client::impl::service::portmap {

namespace {

using Outcome = MapAttempt::Outcome;

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::GRANTED:
            return "granted";
        case Outcome::REFUSED:
            return "refused (nothing listens)";
        case Outcome::SILENT:
            return "silent";
        case Outcome::DENIED:
            return "denied";
        case Outcome::PERMANENT_ONLY:
            return "permanent leases only";
    }
    return "unknown";
}

std::string externalText(const PortMapping& mapping) {
    return (mapping.externalAddress ? mapping.externalAddress->to_string() : std::string("?")) + ":" +
           std::to_string(mapping.externalPort);
}

bool sameTarget(const MapTarget& a, const MapTarget& b) {
    return a.gateway == b.gateway && a.local == b.local && a.internalPort == b.internalPort &&
           a.mapperPort == b.mapperPort;
}

// Every mapper of the process, for closeAll. Never destroyed: a host's exit handler may shut the
// library down after static objects are gone.
struct Mappers {
    // Held by closeAll while it uses the mappers, so that none is destroyed meanwhile; taken before
    // mutex, never while a mapper's own lock is held.
    std::mutex closing;
    std::mutex mutex;  // guards all; a mapper that logs under its own lock may construct another
    std::vector<PortMapper*> all;
};

Mappers& mappers() {
    static Mappers* const list = new Mappers;
    return *list;
}

// Starts body on a new thread; false, after a log line, when the system has none to give.
bool startThread(std::thread& into, const std::string& logger, const char* what, std::function<void()> body) {
    try {
        into = std::thread(std::move(body));
        return true;
    } catch (const std::system_error& e) {
        Log::warn(logger, "startThread000", "No thread for the port mapper's %1%: %2%", what, e.what());
        return false;
    }
}

}  // namespace

PortMapper::PortMapper(std::string name, util::Clock& clock) : name(std::move(name)), clock(clock) {
    std::lock_guard<std::mutex> lock(mappers().mutex);
    mappers().all.push_back(this);
}

PortMapper::~PortMapper() {
    {
        std::lock_guard<std::mutex> closingLock(mappers().closing);
        std::lock_guard<std::mutex> lock(mappers().mutex);
        auto& all = mappers().all;
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }
    stop();
}

void PortMapper::setName(const std::string& loggerName) {
    std::lock_guard<std::mutex> lock(mutex);
    name = loggerName;
}

void PortMapper::configure(const Settings& wanted) {
    std::lock_guard<std::mutex> lock(mutex);
    settings = wanted;
}

bool PortMapper::begin(const Endpoint& local, const Address& rendezvous) {
    std::unique_lock<std::mutex> lock(mutex);
    // A socket on loopback has nothing to map; an injected gateway is a test's own mapper.
    if (closed || stopping || !settings.enabled || !local.address().is_v4() ||
        (!settings.gateway && local.address().is_loopback())) {
        return false;
    }
    const std::optional<Address> gateway = settings.gateway ? settings.gateway : Gateway::towards(rendezvous);
    if (!gateway) {
        Log::debug(name, "begin000", "No gateway towards %1%; no port mapping asked", rendezvous);
        return false;
    }
    if (distrustedGateway == gateway) {
        return false;
    }
    const Clock::TimePoint now = clock.now();
    if (lastGateway == gateway && now < noMapperUntil) {
        Log::debug(name, "begin001", "Gateway %1% has no usable mapper; not asked again yet", *gateway);
        return false;
    }
    const MapTarget wanted{*gateway,     settings.mapperPort, local.address().to_v4(),
                           local.port(), settings.lease,      &clock};
    if (!startWorkerLocked()) {
        return false;
    }
    if (mapping && target && sameTarget(*target, wanted)) {
        checkWanted = true;
        changed.notify_all();
        return true;
    }
    Log::debug(name, "begin002", "Asking gateway %1% for a mapping of port %2%", *gateway, local.port());
    lastGateway = gateway;
    // A mapping for another socket is deleted by the probe before it asks for the new one.
    if (!mapping) {
        target = wanted;
    }
    probeWanted = true;
    ++probeGeneration;
    probing = true;
    pmpDone = false;
    upnpDone = !settings.upnp;
    heard = false;
    probeStarted = now;
    pendingTarget = wanted;
    changed.notify_all();
    return true;
}

std::optional<PortMapping> PortMapper::conclude(const Address& publicSeen) {
    std::unique_lock<std::mutex> lock(mutex);
    const auto settled = [this] { return !probing || mapping || (pmpDone && upnpDone); };
    // Nothing heard from the gateway soon: discovery goes on without; a later grant serves the next.
    if (clock.waitUntil(changed, lock, probeStarted + settings.firstAnswer,
                        [&] { return settled() || heard.load(); }) &&
        !settled()) {
        clock.waitUntil(changed, lock, probeStarted + settings.budget, settled);
    }
    if (!mapping || (target && distrustedGateway == target->gateway)) {
        return std::nullopt;
    }
    const MappingTrust::Verdict verdict = MappingTrust::judge(mapping->externalAddress, publicSeen);
    if (verdict != MappingTrust::Verdict::USABLE) {
        Log::info(name, "conclude000", "Not using the %1% mapping %2% (public address %3%): %4%",
                  protocolName(mapping->protocol), externalText(*mapping), publicSeen,
                  MappingTrust::describe(verdict));
        // A double NAT stays one: the mapping is deleted, and the gateway not asked for a while.
        noMapperUntil = clock.now() + util::Intervals::kNoMapperMemory;
        releaseWanted = true;
        changed.notify_all();
        return std::nullopt;
    }
    return mapping;
}

std::optional<PortMapping> PortMapper::held() const {
    std::lock_guard<std::mutex> lock(mutex);
    return mapping;
}

void PortMapper::check() {
    std::lock_guard<std::mutex> lock(mutex);
    if (mapping) {
        checkWanted = true;
        changed.notify_all();
    }
}

void PortMapper::release() {
    std::lock_guard<std::mutex> lock(mutex);
    noMapperUntil = clock.now() + util::Intervals::kNoMapperMemory;
    releaseWanted = true;
    changed.notify_all();
}

void PortMapper::distrust() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!target) {
        return;
    }
    distrustedGateway = target->gateway;
    releaseWanted = true;
    changed.notify_all();
}

void PortMapper::stop() {
    std::thread ending;
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!workerAlive) {
            return;
        }
        if (!stopping) {
            requestStopLocked();
        }
        // Moved out under the lock: begin() may assign a new worker once this one is joined.
        ending = std::move(worker);
        if (!ending.joinable()) {
            // Another stop() joins it: this one returns only when the mapping is gone too.
            changed.wait(lock, [this] { return !workerAlive; });
            return;
        }
    }
    ending.join();
    std::lock_guard<std::mutex> lock(mutex);
    workerAlive = false;
    stopping = false;
    cancelled = false;
    probing = false;
    probeWanted = checkWanted = releaseWanted = false;
    changed.notify_all();
}

void PortMapper::closeAll(bool wait) {
    Mappers& list = mappers();
    std::lock_guard<std::mutex> closingLock(list.closing);
    std::vector<PortMapper*> all;
    {
        std::lock_guard<std::mutex> listLock(list.mutex);
        all = list.all;
    }
    for (PortMapper* mapper : all) {
        {
            std::lock_guard<std::mutex> lock(mapper->mutex);
            mapper->closed = true;
            if (mapper->workerAlive && !mapper->stopping) {
                mapper->requestStopLocked();
            }
        }
        if (wait) {
            mapper->stop();
        }
    }
}

void PortMapper::requestStopLocked() {
    stopping = true;
    stopRequested = clock.now();
    cancelled = true;
    pcpAbandoned = true;
    changed.notify_all();
}

std::chrono::milliseconds PortMapper::budgetNow() const {
    std::lock_guard<std::mutex> lock(mutex);
    return settings.budget;
}

bool PortMapper::startWorkerLocked() {
    if (workerAlive) {
        return true;
    }
    workerAlive = startThread(worker, name, "worker", [this] { run(); });
    return workerAlive;
}

void PortMapper::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const auto due = [this] {
            return mapping && clock.now() >= LeaseRules::renewAt(mapping->grantedAt, mapping->lease);
        };
        const auto wanted = [&] { return stopping || probeWanted || checkWanted || releaseWanted || due(); };
        if (mapping) {
            clock.waitUntil(changed, lock, LeaseRules::renewAt(mapping->grantedAt, mapping->lease), wanted);
        } else {
            changed.wait(lock, wanted);
        }
        if (stopping) {
            break;
        }
        if (releaseWanted || (probeWanted && mapping && target && !sameTarget(*target, pendingTarget))) {
            releaseWanted = false;
            removeHeldLocked(lock);
            continue;
        }
        if (probeWanted) {
            probeWanted = false;
            target = pendingTarget;
            const MapTarget where = pendingTarget;
            const std::uint64_t generation = probeGeneration;
            lock.unlock();
            probe(where, generation);
            lock.lock();
            continue;
        }
        checkWanted = false;
        if (mapping && target) {
            const PortMapping current = *mapping;
            const MapTarget where = *target;
            lock.unlock();
            renew(where, current);
            lock.lock();
        }
    }
    removeHeldLocked(lock);
}

bool PortMapper::offer(const MapAttempt& attempt) {
    std::lock_guard<std::mutex> lock(mutex);
    if (attempt.outcome != Outcome::GRANTED || mapping) {
        return false;
    }
    mapping = attempt.mapping;
    Log::info(name, "probe001", "Gateway %1% granted %2% mapping %3% of port %4% for %5% s", target->gateway,
              protocolName(mapping->protocol), externalText(*mapping), mapping->internalPort,
              mapping->lease.count());
    changed.notify_all();
    return true;
}

void PortMapper::discard(const MapTarget& where, const PortMapping& loser) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (mapping && mapping->externalPort == loser.externalPort) {
            return;
        }
    }
    remove(where, loser, removeDeadline());
}

void PortMapper::probe(const MapTarget& where, std::uint64_t generation) {
    bool upnp = false;
    Clock::TimePoint deadline;
    {
        std::lock_guard<std::mutex> lock(mutex);
        upnp = settings.upnp;
        deadline = clock.now() + settings.budget;
    }
    // Marks one of this probe's paths ended, unless a later begin() has asked for another probe.
    const auto pathEnded = [this, generation](bool PortMapper::*done) {
        std::lock_guard<std::mutex> lock(mutex);
        if (generation == probeGeneration) {
            this->*done = true;
        }
        changed.notify_all();
    };
    std::atomic<bool> granted{false};
    MapAttempt upnpAttempt;
    std::thread upnpPath;
    if (upnp && !startThread(upnpPath, name, "UPnP-IGD probe", [&] {
            upnpAttempt = UpnpClient::map(where, &granted, deadline, &heard, &cancelled);
            if (upnpAttempt.outcome == Outcome::GRANTED) {
                if (offer(upnpAttempt)) {
                    granted = true;
                } else {
                    // The same guard as the other protocols': on a router whose one rule table
                    // serves all three, the rule of the same port is the mapping we hold.
                    discard(where, upnpAttempt.mapping);
                }
            }
            pathEnded(&PortMapper::upnpDone);
        })) {
        upnpAttempt.outcome = Outcome::DENIED;
        upnpAttempt.detail = "no thread";
        pathEnded(&PortMapper::upnpDone);
    }
    // PCP maps at once; NAT-PMP first asks only the address, which maps nothing, so that the two
    // never hold two mappings of one port. A server that answers NAT-PMP but not PCP within a
    // resend step speaks NAT-PMP alone (PCP's request is dropped, or refused by version).
    MapAttempt pcp;
    bool pcpFinished = false;  // guarded by mutex
    // Cleared before cancelled is read: a stop between the two still leaves it set.
    pcpAbandoned = false;
    if (cancelled) {
        pcpAbandoned = true;
    }
    std::thread pcpPath;
    const auto askPcp = [&] {
        MapAttempt attempt = PcpClient::map(where, nullptr, deadline, &pcpAbandoned);
        if (attempt.outcome == Outcome::GRANTED || attempt.outcome == Outcome::DENIED) {
            heard = true;
        }
        if (attempt.outcome == Outcome::GRANTED) {
            if (offer(attempt)) {
                granted = true;
            } else {
                discard(where, attempt.mapping);
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        pcp = attempt;
        pcpFinished = true;
        changed.notify_all();
    };
    if (!startThread(pcpPath, name, "PCP probe", askPcp)) {
        // Without a thread of its own PCP is asked first, alone: NAT-PMP then follows when needed.
        askPcp();
    }
    bool pcpSettled = false;  // refused or granted: NAT-PMP has nothing to add
    {
        std::unique_lock<std::mutex> lock(mutex);
        clock.waitUntil(changed, lock, clock.now() + util::Intervals::kMapperRefusalWait,
                        [&] { return pcpFinished || cancelled.load(); });
        pcpSettled = pcpFinished && (pcp.outcome == Outcome::REFUSED || pcp.outcome == Outcome::GRANTED);
    }
    MapAttempt pmp;
    pmp.outcome = Outcome::REFUSED;
    if (!pcpSettled) {
        pmp = NatPmpClient::askAddress(where, deadline, &cancelled);
        if (pmp.outcome == Outcome::GRANTED) {
            heard = true;
            changed.notify_all();
        }
    }
    if (pmp.outcome == Outcome::GRANTED) {
        bool pcpWon = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            clock.waitUntil(changed, lock, std::min(deadline, clock.now() + settings.pcpGrace),
                            [&] { return pcpFinished || cancelled.load(); });
            pcpWon = pcpFinished && pcp.outcome == Outcome::GRANTED;
        }
        if (pcpWon) {
            pmp.outcome = Outcome::DENIED;
            pmp.detail.clear();
        } else {
            pcpAbandoned = true;
            pmp = NatPmpClient::map(where, nullptr, deadline, &cancelled, pmp.mapping.externalAddress);
            if (pmp.outcome == Outcome::GRANTED) {
                if (offer(pmp)) {
                    granted = true;
                } else {
                    discard(where, pmp.mapping);
                }
            }
        }
    }
    if (pcpPath.joinable()) {
        pcpPath.join();
    }
    pathEnded(&PortMapper::pmpDone);
    if (upnpPath.joinable()) {
        upnpPath.join();
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (generation == probeGeneration) {
        probing = false;
    }
    Log::info(name, "probe000", "Port mapping at gateway %1%: PCP %2%, NAT-PMP %3%, UPnP-IGD %4%%5%",
              where.gateway, outcomeName(pcp.outcome),
              pcp.outcome == Outcome::GRANTED ? "not needed" : outcomeName(pmp.outcome),
              upnp ? outcomeName(upnpAttempt.outcome) : "not asked",
              pcp.detail.empty() && pmp.detail.empty() && upnpAttempt.detail.empty()
                  ? std::string()
                  : " (" + pcp.detail + (pmp.detail.empty() ? "" : "; " + pmp.detail) +
                        (upnpAttempt.detail.empty() ? "" : "; " + upnpAttempt.detail) + ")");
    if (!mapping) {
        // A router without a mapper refuses at once and costs nothing; a silent one or one that
        // denies costs the budget, once per memory span.
        noMapperUntil = clock.now() + util::Intervals::kNoMapperMemory;
    }
    changed.notify_all();
}

void PortMapper::renew(const MapTarget& where, const PortMapping& current) {
    const std::chrono::milliseconds budget = budgetNow();
    const Clock::TimePoint deadline = clock.now() + budget;
    MapAttempt attempt;
    switch (current.protocol) {
        case MappingProtocol::PCP:
            attempt = PcpClient::map(where, &current, deadline, &cancelled);
            break;
        case MappingProtocol::NAT_PMP:
            attempt = NatPmpClient::map(where, &current, deadline, &cancelled);
            break;
        case MappingProtocol::UPNP:
            attempt = UpnpClient::renew(where, current, &cancelled);
            break;
    }
    if (cancelled) {
        // Stopping: the mapping stays held, and the worker's end deletes it.
        return;
    }
    const bool epochBack = attempt.outcome == Outcome::GRANTED && current.protocol != MappingProtocol::UPNP &&
                           LeaseRules::epochWentBack(current.epochSeconds, current.grantedAt,
                                                     attempt.mapping.epochSeconds, attempt.mapping.grantedAt);
    if (attempt.outcome != Outcome::GRANTED || epochBack) {
        // The router lost our mapping or refuses to renew it: a fresh request, as at first.
        Log::info(name, "renew000", "%1% mapping %2% %3%; mapping again", protocolName(current.protocol),
                  externalText(current),
                  epochBack ? "was forgotten by the router (its epoch went back)"
                            : std::string("not renewed: ") + outcomeName(attempt.outcome));
        // A renewal refused or unanswered may leave the old mapping alive at the router (under its
        // old PCP nonce): deleted first, so that the fresh one is the only one left.
        if (!epochBack) {
            remove(where, current, removeDeadline());
        }
        if (cancelled) {
            return;  // the worker's end deletes what is still held
        }
        switch (current.protocol) {
            case MappingProtocol::PCP:
                attempt = PcpClient::map(where, nullptr, clock.now() + budget, &cancelled);
                break;
            case MappingProtocol::NAT_PMP:
                attempt = NatPmpClient::map(where, nullptr, clock.now() + budget, &cancelled);
                break;
            case MappingProtocol::UPNP:
                attempt = UpnpClient::map(where, nullptr, clock.now() + budget, nullptr, &cancelled);
                break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (attempt.outcome == Outcome::GRANTED) {
        if (attempt.mapping.externalPort != current.externalPort) {
            Log::info(name, "renew001", "%1% mapping moved from %2% to %3%", protocolName(current.protocol),
                      externalText(current), externalText(attempt.mapping));
        }
        mapping = attempt.mapping;
    } else {
        Log::info(name, "renew002", "%1% mapping %2% lost: %3% %4%", protocolName(current.protocol),
                  externalText(current), outcomeName(attempt.outcome), attempt.detail);
        mapping.reset();
    }
}

void PortMapper::removeHeldLocked(std::unique_lock<std::mutex>& lock) {
    if (!mapping || !target) {
        return;
    }
    const PortMapping old = *mapping;
    const MapTarget where = *target;
    mapping.reset();
    lock.unlock();
    remove(where, old, removeDeadline());
    lock.lock();
}

PortMapper::Clock::TimePoint PortMapper::removeDeadline() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping ? stopRequested + kStopDeleteBound : clock.now() + settings.budget;
}

void PortMapper::remove(const MapTarget& where, const PortMapping& old, Clock::TimePoint deadline) {
    bool removed = false;
    switch (old.protocol) {
        case MappingProtocol::PCP:
            removed = PcpClient::remove(where, old, deadline);
            break;
        case MappingProtocol::NAT_PMP:
            removed = NatPmpClient::remove(where, old, deadline);
            break;
        case MappingProtocol::UPNP:
            removed = UpnpClient::remove(where, old, deadline);
            break;
    }
    Log::info(name, "remove000", "%1% mapping %2% %3%", protocolName(old.protocol), externalText(old),
              removed ? "deleted" : "not confirmed deleted; its lease ends it");
}

}  // namespace tarn::client::impl::service::portmap
