#pragma once

#include <memory>

#include "tarn/client/impl/service/connection/AbstractConnector.h"

namespace tarn::client::impl::service::connection {

struct PrivateNetworkConnectorSettings;

// Reaches peers on the private network at their local endpoints.
class PrivateNetworkConnector : public AbstractConnector {
public:
    PrivateNetworkConnector();
    ~PrivateNetworkConnector() override;

    void getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) override;
    std::chrono::milliseconds getTimeout() override;

protected:
    bool doConnectorInit() override;
    void doConnectorShutdown() override;

private:
    std::unique_ptr<PrivateNetworkConnectorSettings> settings;
};

}  // namespace tarn::client::impl::service::connection
