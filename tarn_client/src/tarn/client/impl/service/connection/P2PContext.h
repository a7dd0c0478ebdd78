#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/AbstractInitializable.h"
#include "tarn/client/impl/service/connection/BlockSchedule.h"
#include "tarn/client/impl/util/Messenger.h"
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

    P2PContext(long clientId, const std::string& gameId, util::Messenger& messenger, std::vector<Peer>& peers,
               Topology& topology);
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
    // Returns once no peer is still to reach or timeoutMs has passed.
    void waitFor(const std::string& callerName, int timeoutMs);
    // As above; between the wait's steps, while peers remain, runs resend on the calling thread.
    void waitFor(const std::string& callerName, int timeoutMs, const std::function<void()>& resend);
    // As above in the steps of wait, whose time-out is timeoutMs.
    void waitFor(const std::string& callerName, int timeoutMs, util::SteppedWait wait,
                 const std::function<void()>& resend);
    // Sets the type, the game id and the sender's UUID.
    void prepareMessage(generated::Content& message, generated::Content::Type type) const;
    // As above plus one response target per endpoint, in order.
    void prepareMessage(generated::Content& message, generated::Content::Type type,
                        const EndpointList& targets) const;
    util::Messenger& getMessenger();
    // A snapshot of the local topology: the listener may change its public port at any time.
    Topology getTopology() const;
    // The latest own public port behind a symmetric NAT (pass thread only).
    int getPublicPort() const;
    // Stores the measured latest public port, from which the symmetric connector predicts.
    void setPublicPort(int port);
    // The symmetric phase's schedule: made from the peers still unconnected at the first call
    // after setPublicPort, the same for every later round of the phase.
    const BlockSchedule& getBlockSchedule(int blockSize);
    // Called after a round's direct pings, between its steps and at its end (roundOver): answers
    // the relayed pings held behind a symmetric NAT in the order of the schedule, on the calling
    // thread. A block whose ping has not come waits until a round that gives it up is over
    // (roundOver; every round of the documented order): then its ports are used up with pings to
    // the peer's public address, so that the later blocks keep the ports announced to their peers.
    // Each answer first goes out as primers, which take the block's ports, and for real at the
    // next call (or at once when roundOver). Does nothing before the latest public port is
    // measured.
    void releaseHeldPings(bool roundOver);
    // The pass runs no symmetric round: answers the held relayed pings now, and any later at once.
    void answerHeldPingsNow();
    // The private window of the overlapped pass (PeerTable), for the peers that may share the
    // subnet of our local address or our public address.
    void openPrivateWindow();
    void closePrivateWindow();

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    // Sends count pings to new endpoints on the peer's public address: they use up the ports of
    // a block whose relayed ping did not come.
    void fillBlock(int index, std::size_t count);
    // Answers the held relayed pings whose answers went out as primers at an earlier release.
    void answerPrimed(std::size_t blockSize);

    std::unique_ptr<P2PCtxData> data;
};

}  // namespace tarn::client::impl::service::connection
