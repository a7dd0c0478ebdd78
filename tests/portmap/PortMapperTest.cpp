#include "tarn/client/impl/service/portmap/PortMapper.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <utility>

#include "FakeMapper.h"
#include "tarn/client/impl/service/portmap/UpnpClient.h"

namespace {

using tarn::client::impl::service::portmap::MappingProtocol;
using tarn::client::impl::service::portmap::PortMapper;
using tarn::client::impl::service::portmap::UpnpClient;
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
        // Whether the old nonce's mapping, which the router may still hold, is deleted before the new one.
        bool deletesOld;
    } rows[] = {
        // The renewal's answer says the mapper restarted.
        {"epoch went back", [](int n) { return n == 0 ? 1000u : 3u; }, [](int) { return 0; }, false},
        // The mapper refuses the renewal (NO_RESOURCES).
        {"renewal refused", [](int n) { return 1000u + static_cast<std::uint32_t>(n); },
         [](int n) { return static_cast<std::uint8_t>(n == 1 ? 8 : 0); }, true},
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
        const std::size_t last = row.deletesOld ? 3 : 2;
        const auto requests = fake.awaitRequests(last + 1);
        ASSERT_EQ(last + 1, requests.size());
        EXPECT_EQ(requests[0].nonce, requests[last - 1].nonce);
        EXPECT_EQ(row.deletesOld ? 0u : 7200u, requests[last - 1].lifetime);
        EXPECT_NE(requests[0].nonce, requests[last].nonce);
        const auto newPort = static_cast<std::uint16_t>(40000 + last);
        // The worker takes the new mapping right after the answer it awaits.
        for (int i = 0; i < 500 && (!mapper.held() || mapper.held()->externalPort != newPort); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(mapper.held());
        EXPECT_EQ(newPort, mapper.held()->externalPort);
    }
}

TEST(PortMapper, UpnpFaultsLeaveTheHeldMappingAndExitUnharmed) {
    const struct {
        const char* label;
        bool fromOtherPort, silentHttp, pcp, raced;
        const char* awaited;  // the device's action awaited before the stop
    } rows[] = {
        // libupnp-based routers answer the search from a fresh socket.
        {"SSDP answer from another port", true, false, false, false, "AddPortMapping 41000"},
        // PCP is granted while UPnP's grant comes: the loser's rule is the held one (one table, one port).
        {"UPnP loses to PCP on the same port", false, false, true, true, "GetSpecificPortMappingEntry"},
        // A device whose web server never answers holds neither the probe nor the stop.
        {"HTTP never answers", false, true, true, false, "GET"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::atomic<FakeIgd*> device{nullptr};
        std::atomic<PortMapper*> asking{nullptr};
        FakeMapper::Policy policy;
        policy.externalPort = [](int) { return 41000; };
        policy.answerWhen = [&device, &row] {
            return !row.raced || (device && device.load()->saw("AddPortMapping"));
        };
        std::optional<FakeMapper> fake(std::in_place, true, policy);
        const auto gateway = fake->address;
        if (!row.pcp) {
            fake.reset();
        }
        FakeIgd igd(gateway, row.fromOtherPort, row.silentHttp,
                    [&asking, &row] { return !row.raced || (asking && asking.load()->held()); });
        device = &igd;
        PortMapper mapper("test");
        asking = &mapper;
        PortMapper::Settings settings;
        settings.gateway = gateway;
        settings.budget = settings.firstAnswer = settings.pcpGrace = std::chrono::seconds(5);
        mapper.configure(settings);
        ASSERT_TRUE(mapper.begin(kLocal, kRendezvous));
        ASSERT_TRUE(igd.saw(row.awaited, std::chrono::seconds(5)));
        // The UPnP grant that lost is dealt with before the device's next action could come.
        EXPECT_FALSE(igd.saw("DeletePortMapping", std::chrono::seconds(row.raced ? 1 : 0)));
        for (int i = 0; i < 500 && !mapper.held(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const auto held = mapper.held();
        ASSERT_TRUE(held);
        mapper.stop();
        // Stopped while the device still holds the description's request: it was abandoned.
        EXPECT_EQ(row.silentHttp ? 1u : 0u, igd.heldConnections());
        if (held->protocol == MappingProtocol::UPNP) {
            EXPECT_TRUE(igd.saw("DeletePortMapping 41000", std::chrono::seconds(5)));
        } else {
            EXPECT_EQ(0u, fake->awaitRequests(2).back().lifetime);  // the PCP mapping, deleted by the stop
        }
    }
}

TEST(PortMapper, LocationsElsewhereThanTheLocalNetworkAreRefused) {
    const auto address = [](const char* text) { return boost::asio::ip::make_address_v4(text); };
    const std::pair<const char*, bool> rows[] = {
        {"http://192.168.1.1:5000/rootDesc.xml", true},  // the gateway
        {"HTTP://192.168.1.7/d.xml", true},              // another device of the LAN, scheme in any case
        {"http://192.168.2.1:5000/d.xml", false},        // another network
        {"http://router.local/d.xml", false},            // a name: never resolved
        {"https://192.168.1.1/d.xml", false},            // not plain HTTP
    };
    for (const auto& [location, allowed] : rows) {
        EXPECT_EQ(allowed, UpnpClient::locationAllowed(location, address("192.168.1.1"),
                                                       address("192.168.1.20"), address("255.255.255.0")))
            << location;
    }
}

TEST(PortMapper, StopDeletesTheMappingInItsOwnProtocol) {
    for (const bool pcp : {true, false}) {
        SCOPED_TRACE(pcp ? "PCP" : "NAT-PMP only");
        FakeMapper::Policy policy;
        // A NAT-PMP router slower than the resend step answers twice: a late answer is not the mapping's.
        policy.doubleAddressAnswer = !pcp;
        FakeMapper fake(pcp, policy);
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

TEST(PortMapper, ShuttingDownDeletesTheMappingAndBeginsNoMore) {
    for (const bool wait : {true, false}) {
        FakeMapper fake(true);
        PortMapper mapper("test");
        configure(mapper, fake);
        ASSERT_TRUE(mapper.begin(kLocal, kRendezvous));
        ASSERT_TRUE(mapper.conclude(fake.policy.external));
        PortMapper::closeAll(wait);  // without waiting, the worker deletes by itself
        auto requests = fake.awaitRequests(2);
        for (int i = 0; i < 3 && requests.back().lifetime != 0; ++i) {
            requests = fake.awaitRequests(requests.size() + 1);
        }
        EXPECT_EQ(0u, requests.back().lifetime) << wait;
        EXPECT_FALSE(mapper.begin(kLocal, kRendezvous));
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
