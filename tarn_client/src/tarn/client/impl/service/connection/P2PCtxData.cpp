#include "tarn/client/impl/service/connection/P2PCtxData.h"

#include <algorithm>
#include <chrono>

#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/connection/OverlapPlan.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

namespace {

std::vector<boost::asio::ip::address> sharedAddressesOf(const std::vector<Peer>& peers, const Topology& own) {
    std::vector<boost::asio::ip::address> shared;
    const std::string ownMask = Network::subnetMask(own.localAddr);
    for (const Peer& peer : peers) {
        if (!OverlapPlan::mayShareNetwork(own.localAddr, ownMask, own.publicAddr, peer.topology.localAddr,
                                          peer.topology.publicAddr)) {
            continue;
        }
        for (const std::string* text : {&peer.topology.localAddr, &peer.topology.publicAddr}) {
            boost::system::error_code error;
            const auto address = boost::asio::ip::make_address(*text, error);
            if (!error) {
                shared.push_back(address);
            }
        }
    }
    return shared;
}

}  // namespace

P2PCtxData::P2PCtxData(long clientId, const std::string& gameId, util::Messenger& messenger,
                       std::vector<Peer>& peers, Topology& topology, util::Clock& clock)
    : clientId(clientId),
      gameId(gameId),
      messenger(messenger),
      clock(clock),
      peers(peers, topology),
      sharedAddresses(sharedAddressesOf(peers, topology)),
      symmetric(*this, topology) {}

void P2PCtxData::stamp(gen::Content& message, gen::Content::Type type) const {
    message.set_type(type);
    gen::addGameId(message, gameId);
    gen::UUID* uuid = message.mutable_uuid();
    uuid->set_uuid_upper(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(clientId))));
    uuid->set_uuid_lower(messenger.getLocalEndpoint().address().to_v4().to_uint());
}

void P2PCtxData::prime(const gen::Content& message,
                       const std::vector<boost::asio::ip::udp::endpoint>& destinations) const {
    for (const auto& destination : destinations) {
        if (mayShareNetwork(destination.address())) {
            continue;
        }
        for (const int ttl : kPrimerTimesToLive) {
            messenger.sendPrimer(message, destination, ttl);
        }
    }
}

void P2PCtxData::paced(int datagrams, const std::function<void()>& send) {
    std::chrono::microseconds waited{0};
    {
        std::lock_guard<std::mutex> lock(paceMutex);
        const auto now = clock.now();
        while (!bursts.empty() && bursts.front().at + PassLimits::kBurstWindow <= now) {
            bursts.pop_front();
        }
        const auto until = PassLimits::paceUntil(bursts, now, datagrams);
        if (until > now) {
            // At most one burst window, between two batches: no event ends it earlier. The other
            // thread's next batch waits for the slot meanwhile, as it would for the bound.
            clock.sleepUntil(until);
            waited = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
        }
        send();
        // A batch counts from its last datagram: sending many takes time itself.
        bursts.push_back({clock.now(), datagrams});
    }
    // Logged after the slot is free: a line may wait for the console.
    if (waited.count() > 0) {
        ++pausedBatches;
        Log::debug(name, "paced000", "Held %1% datagrams for %2% us: at most %3% in %4% ms", datagrams,
                   waited.count(), PassLimits::kBurstDatagrams, PassLimits::kBurstWindow.count());
    }
}

bool P2PCtxData::mayShareNetwork(const boost::asio::ip::address& destination) const {
    return std::find(sharedAddresses.begin(), sharedAddresses.end(), destination) != sharedAddresses.end();
}

}  // namespace tarn::client::impl::service::connection
