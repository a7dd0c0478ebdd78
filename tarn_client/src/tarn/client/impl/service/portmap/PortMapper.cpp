#include "tarn/client/impl/service/portmap/PortMapper.h"

#include <utility>

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

}  // namespace

PortMapper::PortMapper(std::string name, util::Clock& clock) : name(std::move(name)), clock(clock) {}

PortMapper::~PortMapper() {
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
    if (!settings.enabled || !local.address().is_v4() || (!settings.gateway && local.address().is_loopback())) {
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
    startWorkerLocked();
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!worker.joinable()) {
            return;
        }
        stopping = true;
        changed.notify_all();
    }
    worker.join();
    std::lock_guard<std::mutex> lock(mutex);
    worker = std::thread();
    stopping = false;
    probing = false;
    probeWanted = checkWanted = releaseWanted = false;
}

std::chrono::milliseconds PortMapper::budgetNow() const {
    std::lock_guard<std::mutex> lock(mutex);
    return settings.budget;
}

void PortMapper::startWorkerLocked() {
    if (!worker.joinable()) {
        worker = std::thread([this] { run(); });
    }
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
            lock.unlock();
            probe(where);
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
    remove(where, loser);
}

void PortMapper::probe(const MapTarget& where) {
    bool upnp = false;
    Clock::TimePoint deadline;
    {
        std::lock_guard<std::mutex> lock(mutex);
        upnp = settings.upnp;
        deadline = clock.now() + settings.budget;
    }
    std::atomic<bool> granted{false};
    MapAttempt upnpAttempt;
    std::thread upnpPath;
    if (upnp) {
        upnpPath = std::thread([&] {
            upnpAttempt = UpnpClient::map(where, &granted, deadline, &heard);
            if (upnpAttempt.outcome == Outcome::GRANTED) {
                if (offer(upnpAttempt)) {
                    granted = true;
                } else {
                    UpnpClient::remove(upnpAttempt.mapping);
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            upnpDone = true;
            changed.notify_all();
        });
    }
    // PCP maps at once; NAT-PMP first asks only the address, which maps nothing, so that the two
    // never hold two mappings of one port. A server that answers NAT-PMP but not PCP within a
    // resend step speaks NAT-PMP alone (PCP's request is dropped, or refused by version).
    MapAttempt pcp;
    bool pcpFinished = false;  // guarded by mutex
    std::atomic<bool> pcpAbandoned{false};
    std::thread pcpPath([&] {
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
    });
    bool pcpSettled = false;  // refused or granted: NAT-PMP has nothing to add
    {
        std::unique_lock<std::mutex> lock(mutex);
        clock.waitUntil(changed, lock, clock.now() + util::Intervals::kMapperRefusalWait,
                        [&] { return pcpFinished; });
        pcpSettled = pcpFinished && (pcp.outcome == Outcome::REFUSED || pcp.outcome == Outcome::GRANTED);
    }
    MapAttempt pmp;
    pmp.outcome = Outcome::REFUSED;
    if (!pcpSettled) {
        pmp = NatPmpClient::askAddress(where, deadline);
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
                            [&] { return pcpFinished; });
            pcpWon = pcpFinished && pcp.outcome == Outcome::GRANTED;
        }
        if (pcpWon) {
            pmp.outcome = Outcome::DENIED;
            pmp.detail.clear();
        } else {
            pcpAbandoned = true;
            pmp = NatPmpClient::map(where, nullptr, deadline);
            if (pmp.outcome == Outcome::GRANTED) {
                if (offer(pmp)) {
                    granted = true;
                } else {
                    discard(where, pmp.mapping);
                }
            }
        }
    }
    pcpPath.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        pmpDone = true;
        changed.notify_all();
    }
    if (upnpPath.joinable()) {
        upnpPath.join();
    }
    std::lock_guard<std::mutex> lock(mutex);
    probing = false;
    Log::info(name, "probe000", "Port mapping at gateway %1%: PCP %2%, NAT-PMP %3%, UPnP-IGD %4%%5%", where.gateway,
              outcomeName(pcp.outcome), pcp.outcome == Outcome::GRANTED ? "not needed" : outcomeName(pmp.outcome),
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
            attempt = PcpClient::map(where, &current, deadline);
            break;
        case MappingProtocol::NAT_PMP:
            attempt = NatPmpClient::map(where, &current, deadline);
            break;
        case MappingProtocol::UPNP:
            attempt = UpnpClient::renew(where, current);
            break;
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
        switch (current.protocol) {
            case MappingProtocol::PCP:
                attempt = PcpClient::map(where, nullptr, clock.now() + budget);
                break;
            case MappingProtocol::NAT_PMP:
                attempt = NatPmpClient::map(where, nullptr, clock.now() + budget);
                break;
            case MappingProtocol::UPNP:
                attempt = UpnpClient::map(where, nullptr, clock.now() + budget);
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
    remove(where, old);
    lock.lock();
}

void PortMapper::remove(const MapTarget& where, const PortMapping& old) {
    const Clock::TimePoint deadline = clock.now() + budgetNow();
    bool removed = false;
    switch (old.protocol) {
        case MappingProtocol::PCP:
            removed = PcpClient::remove(where, old, deadline);
            break;
        case MappingProtocol::NAT_PMP:
            removed = NatPmpClient::remove(where, old, deadline);
            break;
        case MappingProtocol::UPNP:
            removed = UpnpClient::remove(old);
            break;
    }
    Log::info(name, "remove000", "%1% mapping %2% %3%", protocolName(old.protocol), externalText(old),
              removed ? "deleted" : "not confirmed deleted; its lease ends it");
}

}  // namespace tarn::client::impl::service::portmap
