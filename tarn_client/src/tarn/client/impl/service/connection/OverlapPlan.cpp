#include "tarn/client/impl/service/connection/OverlapPlan.h"

#include <boost/asio/ip/address_v4.hpp>

namespace tarn::client::impl::service::connection {

bool OverlapPlan::mayShareNetwork(const std::string& ownLocal, const std::string& ownMask,
                                  const std::string& ownPublic, const std::string& peerLocal,
                                  const std::string& peerPublic) {
    if (peerPublic == ownPublic) {
        return true;
    }
    boost::system::error_code e1;
    boost::system::error_code e2;
    boost::system::error_code e3;
    const auto own = boost::asio::ip::make_address_v4(ownLocal, e1).to_uint();
    const auto mask = boost::asio::ip::make_address_v4(ownMask, e2).to_uint();
    const auto peer = boost::asio::ip::make_address_v4(peerLocal, e3).to_uint();
    return e1 || e2 || e3 || (own & mask) == (peer & mask);
}

}  // namespace tarn::client::impl::service::connection
