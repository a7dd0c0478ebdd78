#include "tarn/client/impl/service/connection/P2PCtxData.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;

P2PCtxData::P2PCtxData(long clientId, const std::string& gameId, util::Messenger& messenger,
                       std::vector<Peer>& peers, Topology& topology)
    : clientId(clientId),
      gameId(gameId),
      messenger(messenger),
      peers(peers, topology),
      held(topology.nat.type == NatType::SYMMETRIC),
      publicPort(topology.publicPort),
      phasePort(topology.publicPort) {}

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
        for (const int ttl : kPrimerTimesToLive) {
            messenger.sendPrimer(message, destination, ttl);
        }
    }
}

}  // namespace tarn::client::impl::service::connection
