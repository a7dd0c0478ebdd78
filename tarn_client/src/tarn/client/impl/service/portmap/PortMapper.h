#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/impl/service/portmap/PortMapping.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/Intervals.h"
#include "tarn/client/impl/util/SteadyClock.h"

namespace tarn::client::impl::service::portmap {

// Owns the one port mapping of the primary socket: asks the gateway for it with PCP, NAT-PMP and
// UPnP-IGD at once, renews it at half its lease, maps again when the router forgot it, and deletes
// it when stopped. Discovery (the caller's thread) calls begin, conclude and the rest; a worker
// thread of this object talks to the router, so that no discovery waits longer than the budget.
class PortMapper {
public:
    using Clock = util::Clock;
    using Address = boost::asio::ip::address_v4;
    using Endpoint = boost::asio::ip::udp::endpoint;

    struct Settings {
        // tarn.portmap: false asks nothing.
        bool enabled = true;
        // The gateway to ask instead of the route's (tests start a mapper of their own).
        std::optional<Address> gateway;
        // The PCP port at the gateway.
        std::uint16_t mapperPort = PcpCodec::kMapperPort;
        std::chrono::seconds lease = util::Intervals::kMappingLease;
        // Whether UPnP-IGD is asked too.
        bool upnp = true;
        // How long discovery waits for the mapper, and for a first answer from the gateway.
        std::chrono::milliseconds budget = util::Intervals::kMapperBudget;
        std::chrono::milliseconds firstAnswer = util::Intervals::kMapperFirstAnswer;
        // How long NAT-PMP, answered, waits for PCP's outcome before it maps instead.
        std::chrono::milliseconds pcpGrace = util::Intervals::kMapperResend;
    };

    // name is the logger name of every line; every wait, lease and memory runs on clock, which
    // must outlive the mapper.
    explicit PortMapper(std::string name, util::Clock& clock = util::SteadyClock::instance());
    // Stops the worker, which deletes a held mapping first.
    ~PortMapper();
    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Both before the first begin.
    void setName(const std::string& loggerName);
    void configure(const Settings& settings);
    // The NAT tests found a NAT between local and the rendezvous service: ask the gateway of the
    // route towards it for a mapping of local's port, or check the mapping already held. Asks
    // nothing when switched off, without a gateway (rendezvous on loopback or on our own
    // network), or while the gateway counts as having no usable mapper. True when asking.
    bool begin(const Endpoint& local, const Address& rendezvous);
    // The mapping to advertise: waits for the protocols begun at most the budget after begin (only
    // kMapperFirstAnswer when nothing answered by then), then takes the mapping only when the router's
    // external address is publicSeen (logging at INFO why not, and deleting it, otherwise).
    std::optional<PortMapping> conclude(const Address& publicSeen);
    // The mapping held now; the worker may have renewed or replaced it since conclude.
    std::optional<PortMapping> held() const;
    // Has the worker renew the held mapping now, mapping again if the router lost it.
    void check();
    // The mapping is not needed: deletes it and asks this gateway no more for a while.
    void release();
    // The mapping granted but not forwarded: deletes it and asks this gateway no more.
    void distrust();
    // Cancels what the worker is asking, deletes a held mapping and stops the worker; returns
    // within kStopBound whatever the router does (a deletion still unanswered then is left to its
    // lease). The mapper may begin again afterwards.
    void stop();
    // Shutting the library down: every mapper of the process deletes its mapping, renews no more
    // and begins no more. wait: returns once that is done (within kStopBound); otherwise returns at
    // once and each mapper's worker does it by itself (called from inside an operation).
    static void closeAll(bool wait);

    // How long stopping takes at most, the deletion's answer included: the time a game's exit may
    // spend on the router. A router on the LAN answers in a few milliseconds.
    static constexpr std::chrono::milliseconds kStopBound{250};
    // The part of kStopBound left to the deletion: the rest covers cancelling an exchange under
    // way (MapperSocket::kCancelStep) and the threads' wake-ups.
    static constexpr std::chrono::milliseconds kStopDeleteBound{200};

private:
    // The worker: probes when asked, renews when due, deletes when stopping.
    void run();
    // generation names the begin() that asked for it: only that one's flags are this probe's.
    void probe(const MapTarget& target, std::uint64_t generation);
    // Takes a granted attempt as the mapping unless one is held already; false when not taken.
    bool offer(const MapAttempt& attempt);
    // A granted attempt that offer did not take: deleted, unless it is the held mapping's own
    // external port (the router's one rule, which both protocols name).
    void discard(const MapTarget& target, const PortMapping& loser);
    void renew(const MapTarget& target, const PortMapping& mapping);
    // Lets go of the held mapping and deletes it at the router with the lock released; the lock is
    // held again on return.
    void removeHeldLocked(std::unique_lock<std::mutex>& lock);
    // Deletes mapping at the router, waiting until deadline at most.
    void remove(const MapTarget& target, const PortMapping& mapping, Clock::TimePoint deadline);
    // The deadline of a deletion: the budget, or what is left of kStopDeleteBound when stopping.
    Clock::TimePoint removeDeadline() const;
    // False (after a log line) when no thread could be started: no mapping is asked for then.
    bool startWorkerLocked();
    // Marks the stop and cancels the exchanges under way; the worker then deletes and ends.
    void requestStopLocked();
    std::chrono::milliseconds budgetNow() const;

    std::string name;
    util::Clock& clock;
    mutable std::mutex mutex;  // guards every field below
    std::condition_variable_any changed;
    Settings settings;
    std::thread worker;
    // From start until a stop() has joined it: stop() calls that did not join wait for this.
    bool workerAlive = false;
    bool stopping = false;
    Clock::TimePoint stopRequested;
    // Set by closeAll: begin asks for nothing any more.
    bool closed = false;
    // Set with stopping (read without the lock by the exchanges under way, which it ends).
    std::atomic<bool> cancelled{false};
    // Ends the probe's PCP exchange: NAT-PMP took over, or the mapper stops.
    std::atomic<bool> pcpAbandoned{false};
    // Requests to the worker.
    bool probeWanted = false;
    bool checkWanted = false;
    bool releaseWanted = false;
    // The latest begin() that asked for a probe; an older probe's paths leave the flags alone.
    std::uint64_t probeGeneration = 0;
    // A probe runs; which of its two paths (PCP then NAT-PMP, and UPnP) ended.
    bool probing = false;
    bool pmpDone = false;
    bool upnpDone = false;
    // Some protocol heard back from the gateway during this probe (written by its threads too).
    std::atomic<bool> heard{false};
    Clock::TimePoint probeStarted;
    // The socket and gateway of the mapping held, and those the next probe asks for.
    std::optional<MapTarget> target;
    MapTarget pendingTarget;
    std::optional<PortMapping> mapping;
    // The gateway last asked, and until when it counts as having no usable mapper.
    std::optional<Address> lastGateway;
    Clock::TimePoint noMapperUntil;
    std::optional<Address> distrustedGateway;
};

}  // namespace tarn::client::impl::service::portmap
