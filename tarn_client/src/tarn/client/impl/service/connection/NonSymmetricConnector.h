#pragma once

#include <memory>

#include "tarn/client/impl/service/connection/AbstractConnector.h"

namespace tarn::client::impl::service::connection {

struct NonSymmetricConnectorSettings;

// Reaches peers at their public endpoints when the local NAT keeps one mapping per socket.
class NonSymmetricConnector : public AbstractConnector {
public:
    NonSymmetricConnector();
    ~NonSymmetricConnector() override;

    void getDestinations(EndpointList& dests, EndpointList& targets, P2PContext& context) override;
    std::chrono::milliseconds getTimeout() override;

protected:
    bool doConnectorInit() override;
    void doConnectorShutdown() override;

private:
    std::unique_ptr<NonSymmetricConnectorSettings> settings;
};

}  // namespace tarn::client::impl::service::connection
