#pragma once

#include <condition_variable>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Peer.h"
#include "tarn/client/Topology.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/SteppedWait.h"

namespace tarn::client::impl::service::connection {

// The caller's peer list and the discovery engine's topology during one pass: the listener thread
// writes into both, the pass thread reads them. Neither is owned; both must outlive the table.
class PeerTable {
public:
    using Endpoint = boost::asio::ip::udp::endpoint;

    PeerTable(std::vector<Peer>& peers, Topology& topology);

    // Copies of the peers still to reach (connection NONE and a valid topology), in list order.
    void getUnconnected(std::vector<Peer>& unconnected) const;
    int countUnconnected() const;
    // The index of the first peer with this local address and identifier, -1 when none.
    int find(const std::string& localAddr, long identifier) const;
    // DIRECT_PRIVATE when the sender is the peer's own local endpoint, else DIRECT_PUBLIC with the
    // sender as its public endpoint; a peer already reached keeps its result. Wakes waiting rounds.
    // While the private window is open for the peer, a public answer is only kept (the first).
    void markConnected(const Endpoint& sender, int index);
    // Opens the private window for the peers that may share our private network as listed
    // (OverlapPlan::mayShareNetwork, ownMask the mask of our local address's subnet): their
    // public answers wait for closePrivateWindow, so that a private answer still wins.
    void openPrivateWindow(const std::string& ownMask);
    // Marks DIRECT_PUBLIC every peer still unreached whose public answer was kept, and closes the
    // window for all. Wakes waiting rounds.
    void closePrivateWindow();
    // The listener's one write into the discovery engine's topology: a peer saw our public port
    // change. Taken only when port is a port (1..65535) and our NAT is not symmetric: a
    // non-symmetric NAT has one mapping for every destination, so the latest report wins; behind
    // a symmetric NAT each peer sees the mapping towards itself, the reports disagree by design,
    // and the port discovery measured stays. old receives the port before the call; true when taken.
    bool replaceOwnPublicPort(int port, int& old);
    // We answered a ping of the peer at `at` (a direct one, or a relayed one from our ports): the
    // peer counts us reached once our answer arrives, and we count it once its confirmation does,
    // a peer round trip later.
    void noteAnswered(int index, util::Clock::TimePoint at);
    // The latest moment we answered a peer still unreached; none when we owe nobody a wait.
    std::optional<util::Clock::TimePoint> lastAnsweredUnreached() const;
    // Whether address is the peer's listed local or public address, as the pass began: the only
    // addresses from which its answers count and at which its pings are answered.
    bool isListedAddress(int index, const boost::asio::ip::address& address) const;
    // The peer's public endpoint as listed when the pass began.
    Endpoint getListedPublicEndpoint(int index) const;
    // A snapshot of the topology.
    Topology getTopology() const;
    // Returns once no peer is still to reach or the wait's steps are over on clock (the one the
    // wait started on); a connection marked meanwhile ends the current step at once.
    // betweenSteps, when set, runs (without the lock) before every step but the first while
    // peers remain.
    void waitUntilReached(util::Clock& clock, util::SteppedWait& wait,
                          const std::function<void()>& betweenSteps = {}) const;

private:
    int countUnconnectedLocked() const;

    // Guards peers and topology.publicPort.
    mutable std::shared_mutex mutex;
    // Signalled after every change of a peer's connection.
    mutable std::condition_variable_any marked;
    std::vector<Peer>& peers;
    Topology& topology;
    // Each peer's addresses as listed; never changes, so it needs no lock.
    struct Listed {
        std::string localAddr;
        std::string publicAddr;
        int publicPort;
    };
    std::vector<Listed> listed;
    // The private window of one peer: whether it is open, and the first public answer it kept.
    struct Window {
        bool open = false;
        bool answered = false;
        Endpoint sender;
    };
    // Guarded by mutex; by list index, empty while no window was opened.
    std::vector<Window> windows;
    // Guarded by mutex; by list index: when the listener last answered the peer's direct ping.
    std::vector<std::optional<util::Clock::TimePoint>> answered;
};

}  // namespace tarn::client::impl::service::connection
