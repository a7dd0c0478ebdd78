#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/AbstractInitializable.h"
#include "tarn/client/impl/service/connection/BlockSchedule.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/Messenger.h"
#include "tarn/client/impl/util/SteadyClock.h"
#include "tarn/client/impl/util/SteppedWait.h"
#include "tarn/generated/MessageHelpers.h"

namespace tarn::client::impl::service::connection {

struct P2PCtxData;

// Everything one connectivity pass shares between its thread and the listener thread that
// answers and records the peers' pings. Does not own the peers, the messenger or the topology.
// Calls flow one way: the pass calls the context, the context starts and calls the listener.
class P2PContext : public AbstractInitializable {
public:
    using EndpointList = std::vector<boost::asio::ip::udp::endpoint>;

    // The pass's rounds, resends and send pacing run on clock, which must outlive the context.
    P2PContext(long clientId, const std::string& gameId, util::Messenger& messenger, std::vector<Peer>& peers,
               Topology& topology, util::Clock& clock = util::SteadyClock::instance());
    // Stops and joins a listener that is still running.
    ~P2PContext() override;

    // The rendezvous endpoints discovery resolved (a ping from one was relayed); set before
    // startListening. Without them no ping counts as relayed.
    void setServers(const EndpointList& servers);
    // Starts the listener thread; a thread that cannot be created is logged and leaves none.
    void startListening();
    // Stops and joins the listener if it runs, also when init() failed (shutdown() then skips
    // doShutdown). Returns at once when no listener runs.
    void stopListening();
    // Copies of the peers still to reach: connection NONE and a valid topology.
    void getUnconnectedPeers(std::vector<Peer>& peers) const;
    int countUnconnectedPeers() const;
    // Before the pass gives up the peers still unreached: a peer whose ping we answered
    // counts us reached when our answer arrives, and its confirmation follows a peer round trip
    // later. Waits for that, at most peerWait after our latest such answer, so that both players
    // end with the same view.
    void awaitConfirmations(std::chrono::milliseconds peerWait);
    // How many pings the listener took from peers' public addresses: they reached our public endpoint.
    int countPublicPingsHeard() const;
    // Returns once no peer is still to reach or timeout has passed on the context's clock, in
    // Intervals::kRoundWaitParts steps; between the steps, while peers remain, runs resend (when
    // set) on the calling thread.
    void waitFor(const std::string& callerName, std::chrono::milliseconds timeout,
                 const std::function<void()>& resend = {});
    // As above in the steps of wait, which must run on the context's clock.
    void waitFor(const std::string& callerName, util::SteppedWait wait, const std::function<void()>& resend);
    // The clock of the pass: the connectors' rounds read it.
    util::Clock& getClock() const;
    // Sets the type, the game id and the sender's UUID.
    void prepareMessage(generated::Content& message, generated::Content::Type type) const;
    // As above plus one response target per endpoint, in order.
    void prepareMessage(generated::Content& message, generated::Content::Type type,
                        const EndpointList& targets) const;
    util::Messenger& getMessenger();
    // Sends one batch within the pass's burst bound (P2PCtxData::paced).
    void paced(int datagrams, const std::function<void()>& send);
    // Sends message to every destination as primers (P2PCtxData::prime), paced as one batch.
    void sendPrimers(const generated::Content& message, const EndpointList& destinations);
    // A snapshot of the local topology: the listener may change its public port at any time.
    Topology getTopology() const;
    // The latest own public port behind a symmetric NAT, measured for the round (pass thread only).
    int getPublicPort() const;
    // Stores the latest public port measured for a round, from which the symmetric connector
    // predicts; the first of the phase also stays for the peers pinged directly.
    void setPublicPort(int port);
    // The latest public port measured for the phase's first round: the direct pings took their
    // ports after it, and later rounds' direct pings go where they went.
    int getPhasePort() const;
    // Ports per second that other hosts take of our symmetric NAT, negative when unknown.
    double getForeignPortRate() const;
    void setForeignPortRate(double portsPerSecond);
    // How the pass measures the latest port again before a block of answers: a fresh socket's
    // public port, throwing TARNException when it cannot. Unset, it counts its own flows only.
    void setPortProbe(std::function<int()> probe);
    // The round's schedule: made from the peers still unconnected at the first call after
    // setPublicPort, with blocks `lead` ports apart (at most PassLimits::maxLead; a cut is
    // counted), the same for the rest of the round.
    const BlockSchedule& getBlockSchedule(int blockSize, int lead = 0);
    // Called after a round's direct pings, between its steps and at its end (roundOver): answers
    // on the calling thread what SymmetricAnswers lets go now. Does nothing before the latest
    // public port is measured.
    void releaseHeldPings(bool roundOver);
    // No symmetric round will answer them: the held relayed pings are answered now, any later at
    // once.
    void answerHeldPingsNow();
    // The private window of the overlapped pass (PeerTable), for the peers that may share the
    // subnet of our local address or our public address.
    void openPrivateWindow();
    void closePrivateWindow();

    // How often the send limits cut the pass short; text names each count.
    int countCuts(std::string& text) const;

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<P2PCtxData> data;
};

}  // namespace tarn::client::impl::service::connection
