#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/NatMeasurement.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/AbstractInitializable.h"
#include "tarn/client/impl/service/connection/WaitRules.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/RttEstimator.h"
#include "tarn/client/impl/util/SteadyClock.h"

namespace tarn::client::impl::util {
class Messenger;
}
namespace tarn::client::impl::service::portmap {
class PortMapper;
}
namespace tarn::client::impl::service::connection {

struct DiscoverorData;

// The NAT discovery engine: finds a local binding from which the rendezvous service answers,
// classifies the NAT, measures a symmetric NAT's port step, and keeps the public port current.
// Runs on the caller's thread and holds no lock.
class Discoveror : public AbstractInitializable {
public:
    // Every wait, resend and expiry of the engine runs on clock, which must outlive it.
    explicit Discoveror(util::Clock& clock = util::SteadyClock::instance());
    ~Discoveror() override;

    // A full discovery: NAT type, public endpoint, behaviour and increment. Throws
    // UninitializedException, NotLocallyBoundException, NoUDPConnectionException (service silent)
    // and TARNException (a socket could not be set up).
    void doMajorDiscovery();
    // Re-checks the public endpoint once the last full discovery is trigger.discovery minutes old
    // or older; without a messenger a fresh one is bound to the local endpoint.
    void refreshIfExpired(util::Messenger* messenger);
    // The public port the NAT gives a brand-new socket right now; 0 when the answer had none.
    int findLatestPort();
    // As above with one attempt, as long as the round trip estimate says an answer takes: the
    // connectivity pass probes inside a round, where discovery's retries would stretch the round.
    int probeLatestPort();
    // The current result; the connectivity pass writes publicPort through it.
    Topology& getTopology();
    const Topology& getTopology() const;
    // What the last full discovery measured (complete is false before one ended).
    const NatMeasurement& getMeasurement() const;
    // S1..S4 as init() resolved them: the connectivity passes use these, so both agree.
    const std::vector<boost::asio::ip::udp::endpoint>& getServers() const;
    // The round trip to the rendezvous service as every binding exchange so far measured it; the
    // waits of discovery and of the pass follow it (WaitRules).
    const util::RttEstimator& getServerRtt() const;

    // The end of a connectivity pass: how many peers' pings came from their public addresses
    // (they reached our advertised endpoint) and how many peers we reached on public paths. A
    // mapping no peer reached while ours reached peers is not forwarded by the router: the next
    // discovery does without it. Also puts the mapped endpoint back into the topology, should a
    // peer's report have replaced its port during the pass.
    void notePass(int publicPingsHeard, int peersReachedPublicly);
    // The topology a connectivity pass connects with: the current one, except behind a symmetric
    // NAT while an advertised mapping is unproven (no peer has reached it yet): then what the tests
    // measured, so that the pass still predicts ports and asks for relayed pings, and pairs that
    // connect without a mapping still connect. Peers see the advertised topology either way.
    Topology& getPassTopology();
    // The port mapper; tests configure it with a gateway of their own after init().
    portmap::PortMapper& getPortMapper();

    // Whether a topology of this age (steady time) must be refreshed: its total age in whole
    // minutes has reached trigger, whole hours included.
    static bool isExpired(util::Clock::Duration age, std::chrono::minutes trigger);

protected:
    // Reads the settings, resolves the four servers and searches a binding address; true when
    // one answered.
    bool doInit() override;
    // Forgets the topology; the binding stays known.
    void doShutdown() override;

private:
    // One binding query to S1 from a fresh socket: retries + 1 waits as WaitRules gives them in order.
    int findLatestPort(WaitRules::Order order, int retries);

    std::unique_ptr<DiscoverorData> data;
};

}  // namespace tarn::client::impl::service::connection
