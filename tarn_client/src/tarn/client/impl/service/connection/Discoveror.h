#pragma once

#include <memory>

#include "tarn/client/Topology.h"
#include "tarn/client/impl/AbstractInitializable.h"

namespace tarn {
namespace client {
namespace impl {
namespace util {
class Messenger;
}
namespace service {
namespace connection {

struct DiscoverorData;

// The NAT discovery engine: finds a local binding from which the rendezvous service answers,
// classifies the NAT, measures a symmetric NAT's port step, and keeps the public port current.
class Discoveror : public AbstractInitializable {
public:
    Discoveror();
    ~Discoveror() override;

    // A full discovery: NAT type, public endpoint, behaviour and increment.
    void doMajorDiscovery();
    // Re-checks the public endpoint once the last full discovery is older than the trigger age;
    // without a messenger a fresh one is bound to the local endpoint.
    void refreshIfExpired(util::Messenger* messenger);
    // The public port the NAT gives a brand-new socket right now; 0 when the answer had none.
    int findLatestPort();
    // The current result; the connectivity pass writes publicPort through it.
    Topology& getTopology();
    const Topology& getTopology() const;

protected:
    bool doInit() override;
    void doShutdown() override;

private:
    std::unique_ptr<DiscoverorData> data;
};

}  // namespace connection
}  // namespace service
}  // namespace impl
}  // namespace client
}  // namespace tarn
