#include "tarn/client/impl/service/portmap/PortMapper.h"

#include <gtest/gtest.h>

#include <functional>

#include "FakeMapper.h"

namespace {

using tarn::client::impl::service::portmap::MappingProtocol;
using tarn::client::impl::service::portmap::PortMapper;
using Endpoint = PortMapper::Endpoint;

const Endpoint kLocal(boost::asio::ip::make_address_v4("127.0.0.1"), 41000);
const auto kRendezvous = boost::asio::ip::make_address_v4("198.51.100.1");

// A mapper asking the fake only: its gateway injected, UPnP (multicast) off, and the waits long
// enough for a loaded machine (each still ends as soon as its answer is in).
void configure(PortMapper& mapper, const FakeMapper& fake) {
    PortMapper::Settings settings;
    settings.gateway = fake.address;
    settings.upnp = false;
    settings.budget = settings.firstAnswer = settings.pcpGrace = std::chrono::seconds(5);
    mapper.configure(settings);
}

TEST(PortMapper, RenewsAtHalfTheLeaseWithTheSameNonce) {
    FakeMapper::Policy policy;
    policy.grantSeconds = 2;
    FakeMapper fake(true, policy);
    ASSERT_TRUE(fake.bound);
    PortMapper mapper("test");
    configure(mapper, fake);
    ASSERT_TRUE(mapper.begin(kLocal, kRendezvous));
    const auto mapping = mapper.conclude(fake.policy.external);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(MappingProtocol::PCP, mapping->protocol);
    EXPECT_EQ(40000, mapping->externalPort);
    const auto requests = fake.awaitRequests(2);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(requests[0].nonce, requests[1].nonce);
    EXPECT_EQ(7200u, requests[1].lifetime);  // asks for its own lease again, never 0
    EXPECT_EQ(41000, requests[1].internalPort);
}

TEST(PortMapper, ALostOrRefusedRenewalMapsAgainWithANewNonce) {
    const struct {
        const char* label;
        std::function<std::uint32_t(int)> epoch;
        std::function<std::uint8_t(int)> result;
    } rows[] = {
        // The renewal's answer says the mapper restarted.
        {"epoch went back", [](int n) { return n == 0 ? 1000u : 3u; }, [](int) { return 0; }},
        // The mapper refuses the renewal (NO_RESOURCES).
        {"renewal refused", [](int n) { return 1000u + static_cast<std::uint32_t>(n); },
         [](int n) { return static_cast<std::uint8_t>(n == 1 ? 8 : 0); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        FakeMapper::Policy policy;
        policy.grantSeconds = 2;
        policy.epoch = row.epoch;
        policy.result = row.result;
        // Each answer a port of its own: the new mapping is told from the old.
        policy.externalPort = [](int n) { return static_cast<std::uint16_t>(40000 + n); };
        FakeMapper fake(true, policy);
        ASSERT_TRUE(fake.bound);
        PortMapper mapper("test");
        configure(mapper, fake);
        ASSERT_TRUE(mapper.begin(kLocal, kRendezvous));
        ASSERT_TRUE(mapper.conclude(fake.policy.external));
        const auto requests = fake.awaitRequests(3);
        ASSERT_EQ(3u, requests.size());
        EXPECT_EQ(requests[0].nonce, requests[1].nonce);
        EXPECT_NE(requests[0].nonce, requests[2].nonce);
        // The worker takes the new mapping right after the answer it awaits.
        for (int i = 0; i < 500 && (!mapper.held() || mapper.held()->externalPort != 40002); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(mapper.held());
        EXPECT_EQ(40002, mapper.held()->externalPort);
    }
}

TEST(PortMapper, StopDeletesTheMappingInItsOwnProtocol) {
    for (const bool pcp : {true, false}) {
        SCOPED_TRACE(pcp ? "PCP" : "NAT-PMP only");
        FakeMapper fake(pcp);
        ASSERT_TRUE(fake.bound);
        PortMapper mapper("test");
        configure(mapper, fake);
        ASSERT_TRUE(mapper.begin(kLocal, kRendezvous));
        const auto mapping = mapper.conclude(fake.policy.external);
        ASSERT_TRUE(mapping);
        EXPECT_EQ(pcp ? MappingProtocol::PCP : MappingProtocol::NAT_PMP, mapping->protocol);
        mapper.stop();
        const auto requests = fake.awaitRequests(1);
        ASSERT_FALSE(requests.empty());
        const auto& last = requests.back();
        EXPECT_EQ(0u, last.lifetime);
        EXPECT_EQ(41000, last.internalPort);
        if (pcp) {
            EXPECT_EQ(requests.front().nonce, last.nonce);
        } else {
            EXPECT_EQ(0, last.version);
            EXPECT_EQ(1, last.opcode);
        }
        EXPECT_FALSE(mapper.held());
    }
}

TEST(PortMapper, ARouterBehindAnotherNatIsNotUsedAndItsMappingDeleted) {
    FakeMapper::Policy policy;
    policy.external = boost::asio::ip::make_address_v4("100.64.1.2");
    FakeMapper fake(true, policy);
    ASSERT_TRUE(fake.bound);
    PortMapper mapper("test");
    configure(mapper, fake);
    ASSERT_TRUE(mapper.begin(kLocal, kRendezvous));
    EXPECT_FALSE(mapper.conclude(boost::asio::ip::make_address_v4("203.0.113.9")));
    const auto requests = fake.awaitRequests(2);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(0u, requests[1].lifetime);
    // The same gateway is not asked again for a while.
    EXPECT_FALSE(mapper.begin(kLocal, kRendezvous));
}

TEST(PortMapper, SwitchedOffOrWithoutGatewayAsksNothing) {
    PortMapper mapper("test");
    PortMapper::Settings off;
    off.enabled = false;
    off.gateway = boost::asio::ip::make_address_v4("127.77.0.1");
    mapper.configure(off);
    EXPECT_FALSE(mapper.begin(kLocal, kRendezvous));
    // The route towards a rendezvous server on loopback has no gateway.
    mapper.configure(PortMapper::Settings());
    EXPECT_FALSE(mapper.begin(kLocal, boost::asio::ip::make_address_v4("127.0.0.1")));
    EXPECT_FALSE(mapper.conclude(kRendezvous));
}

}  // namespace
