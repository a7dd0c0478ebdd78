#pragma once

#include <boost/asio/ip/udp.hpp>

#include "ContextFixture.h"
#include "tarn/client/impl/service/connection/AbstractConnector.h"

namespace tarn::test::connection {

// A context of client 1 for connector rounds.
class ConnectorFixture : public ContextFixture {
protected:
    using EndpointList = tarn::client::impl::service::connection::AbstractConnector::EndpointList;

    // Sends a BIND_REQ from our socket: whatever a round sent to that endpoint arrives before it,
    // so a test that finds the marker first knows the round sent nothing there.
    void sendMarker(const boost::asio::ip::udp::endpoint& to) {
        tarn::generated::Content marker;
        marker.set_type(tarn::generated::Content::BIND_REQ);
        local->send(marker, to);
    }

    template <typename Connector>
    void initConnector(Connector& connector) {
        connector.setName("test.connector");
        ASSERT_TRUE(connector.init());
    }
};

}  // namespace tarn::test::connection
