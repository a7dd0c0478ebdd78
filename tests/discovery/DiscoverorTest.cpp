#include "tarn/client/impl/service/connection/Discoveror.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "ClientConfig.h"
#include "FakeRendezvous.h"
#include "RealRendezvous.h"
#include "TestLog.h"
#include "Udp.h"
#include "tarn/client/NoUDPConnectionException.h"
#include "tarn/client/UninitializedException.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/util/Messenger.h"

using boost::asio::ip::make_address_v4;
using tarn::client::FilteringBehavior;
using tarn::client::MappingBehavior;
using tarn::client::NatBehavior;
using tarn::client::NatMeasurement;
using tarn::client::NatType;
using tarn::client::NoUDPConnectionException;
using tarn::client::TestOutcome;
using tarn::client::Topology;
using tarn::client::UninitializedException;
using tarn::client::impl::Network;
using tarn::client::impl::service::connection::Discoveror;
using tarn::generated::Attribute;
using tarn::generated::Content;
using tarn::test::config;
using tarn::test::Endpoint;
using tarn::test::FakeRendezvous;
using tarn::test::FakeReply;
using tarn::test::FakeRequest;
using tarn::test::RealRendezvous;
using tarn::test::TestLog;
using tarn::test::text;

namespace {

const char* const ENGINE = "test.discoveror";
const char* const PUBLIC_ADDR = "203.0.113.9";
// Wait per attempt: short, yet far above the fake's answer time on a loaded machine.
const int TIMEOUT_MS = 200;

Endpoint publicEndpoint(int port) {
    return tarn::test::endpoint(PUBLIC_ADDR, port);
}

// An engine under test, shut down at the end the way its owner does.
class Engine {
public:
    Engine() { engine.setName(ENGINE); }
    ~Engine() { engine.shutdown(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    Discoveror* operator->() { return &engine; }
    Discoveror& operator*() { return engine; }

private:
    Discoveror engine;
};

// A NAT in front of the fake: the mapped endpoint each plain request gets, and which change
// requests make it through.
struct NatScript {
    std::function<Endpoint(const FakeRequest&)> map;
    bool passChangeBoth = false;
    bool passChangePort = false;
};

FakeRendezvous::Handler behindNat(const NatScript& nat) {
    return [nat](const FakeRequest& request) -> std::vector<FakeReply> {
        if (request.isChangeRequest(Attribute::CHANGE_BOTH)) {
            return nat.passChangeBoth ? FakeRendezvous::contract(request) : std::vector<FakeReply>{};
        }
        if (request.isChangeRequest(Attribute::CHANGE_PORT)) {
            return nat.passChangePort ? FakeRendezvous::contract(request) : std::vector<FakeReply>{};
        }
        return {FakeRendezvous::bindResponse(request.server, nat.map(request))};
    };
}

// One public port per local socket, whatever the destination.
Endpoint coneMapping(const FakeRequest& request) {
    return publicEndpoint(40000 + request.sourceOrdinal);
}

// One public port per local socket and destination.
Endpoint symmetricMapping(const FakeRequest& request) {
    return publicEndpoint(40000 + 10 * request.sourceOrdinal + request.server);
}

FakeRendezvous::Handler silent() {
    return [](const FakeRequest&) { return std::vector<FakeReply>{}; };
}

int countRequests(const std::vector<FakeRequest>& requests,
                  const std::function<bool(const FakeRequest&)>& match) {
    int count = 0;
    for (const FakeRequest& request : requests) {
        count += match(request) ? 1 : 0;
    }
    return count;
}

class DiscoverorTest : public ::testing::Test {
protected:
    DiscoverorTest() {
        config().setValue("tarn.timeout.discovery", std::to_string(TIMEOUT_MS));
        fake.configure(config());
    }

    // Declared first: the log directory must be set before anything logs.
    TestLog log;
    FakeRendezvous fake;
};

}  // namespace

TEST_F(DiscoverorTest, HostWithoutNatRunsTheFirstTestAndTheFilteringTest) {
    Engine engine;
    ASSERT_TRUE(engine->init());
    const std::vector<FakeRequest> check = fake.requests();
    ASSERT_EQ(check.size(), 1u);
    // The binding check: a bare BIND_REQ to S1.
    EXPECT_EQ(check[0].server, 0);
    EXPECT_EQ(check[0].content.type(), Content::BIND_REQ);
    EXPECT_EQ(check[0].content.attributes_size(), 0);
    EXPECT_FALSE(check[0].content.has_uuid());
    const Endpoint primary = check[0].source;

    fake.reset();
    engine->doMajorDiscovery();
    const Topology& topology = engine->getTopology();
    EXPECT_EQ(topology.nat.type, NatType::NONE);
    EXPECT_EQ(topology.nat.behavior, NatBehavior::NOT_SENSITIVE);
    EXPECT_EQ(topology.nat.increment, 0);
    EXPECT_EQ(topology.localAddr, primary.address().to_string());
    EXPECT_EQ(topology.localPort, primary.port());
    EXPECT_EQ(topology.publicAddr, topology.localAddr);
    EXPECT_EQ(topology.publicPort, topology.localPort);
    EXPECT_TRUE(topology.isValid());

    // Test 1 from the alternative socket (same address, another port), then from the same
    // socket the change request that tells the filtering; the fake answers it.
    const std::vector<FakeRequest> tests = fake.requests();
    ASSERT_EQ(tests.size(), 2u);
    EXPECT_EQ(tests[0].server, 0);
    EXPECT_EQ(tests[0].source.address(), primary.address());
    EXPECT_NE(tests[0].source.port(), primary.port());
    EXPECT_EQ(tests[1].server, 0);
    EXPECT_EQ(tests[1].source, tests[0].source);
    EXPECT_TRUE(tests[1].isChangeRequest(Attribute::CHANGE_BOTH));

    const NatMeasurement& measured = engine->getMeasurement();
    EXPECT_TRUE(measured.complete);
    EXPECT_FALSE(measured.translated);
    EXPECT_EQ(measured.changeBoth, TestOutcome::ANSWERED);
    EXPECT_EQ(measured.changePort, TestOutcome::NOT_RUN);
    EXPECT_EQ(measured.mapping(topology.nat), MappingBehavior::ENDPOINT_INDEPENDENT);
    EXPECT_EQ(measured.filtering(), FilteringBehavior::ENDPOINT_INDEPENDENT);
}

TEST(NatMeasurement, StandardTermsFollowFromTheMeasurement) {
    struct Row {
        const char* label;
        bool translated;
        bool mappingChanged;
        TestOutcome changeBoth;
        TestOutcome changePort;
        NatBehavior behavior;
        MappingBehavior mapping;
        FilteringBehavior filtering;
    };
    const TestOutcome A = TestOutcome::ANSWERED;
    const TestOutcome S = TestOutcome::SILENT;
    const TestOutcome N = TestOutcome::NOT_RUN;
    const Row rows[] = {
        {"no NAT", false, false, A, N, NatBehavior::NOT_SENSITIVE, MappingBehavior::ENDPOINT_INDEPENDENT,
         FilteringBehavior::ENDPOINT_INDEPENDENT},
        {"no NAT, firewall", false, false, S, S, NatBehavior::NOT_SENSITIVE,
         MappingBehavior::ENDPOINT_INDEPENDENT, FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT},
        {"full cone", true, false, A, N, NatBehavior::NOT_SENSITIVE, MappingBehavior::ENDPOINT_INDEPENDENT,
         FilteringBehavior::ENDPOINT_INDEPENDENT},
        {"restricted cone", true, false, S, A, NatBehavior::ADDRESS_SENSITIVE,
         MappingBehavior::ENDPOINT_INDEPENDENT, FilteringBehavior::ADDRESS_DEPENDENT},
        {"port-restricted cone", true, false, S, S, NatBehavior::PORT_SENSITIVE,
         MappingBehavior::ENDPOINT_INDEPENDENT, FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT},
        {"symmetric per address", true, true, S, S, NatBehavior::ADDRESS_SENSITIVE,
         MappingBehavior::ADDRESS_DEPENDENT, FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT},
        {"symmetric per port", true, true, S, A, NatBehavior::PORT_SENSITIVE,
         MappingBehavior::ADDRESS_AND_PORT_DEPENDENT, FilteringBehavior::ADDRESS_DEPENDENT},
        {"symmetric, open filter", true, true, A, N, NatBehavior::PORT_SENSITIVE,
         MappingBehavior::ADDRESS_AND_PORT_DEPENDENT, FilteringBehavior::ENDPOINT_INDEPENDENT},
        {"changing, yet four new mappings agree", true, true, S, S, NatBehavior::NOT_SENSITIVE,
         MappingBehavior::UNKNOWN, FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        NatMeasurement measured;
        measured.complete = true;
        measured.translated = row.translated;
        measured.mappingChanged = row.mappingChanged;
        measured.changeBoth = row.changeBoth;
        measured.changePort = row.changePort;
        tarn::client::NatInfo nat;
        nat.behavior = row.behavior;
        EXPECT_EQ(measured.mapping(nat), row.mapping);
        EXPECT_EQ(measured.filtering(), row.filtering);
        measured.complete = false;
        EXPECT_EQ(measured.mapping(nat), MappingBehavior::UNKNOWN);
        EXPECT_EQ(measured.filtering(), FilteringBehavior::UNKNOWN);
    }
    EXPECT_EQ(tarn::client::toString(MappingBehavior::ENDPOINT_INDEPENDENT), "endpoint-independent");
    EXPECT_EQ(tarn::client::toString(MappingBehavior::ADDRESS_DEPENDENT), "address-dependent");
    EXPECT_EQ(tarn::client::toString(FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT),
              "address-and-port-dependent");
    EXPECT_EQ(tarn::client::toString(static_cast<FilteringBehavior>(9)), "unknown");
}

TEST_F(DiscoverorTest, NatDecisionTable) {
    struct Row {
        const char* label;
        bool mappingChanges;
        bool test4Answered;
        bool test5Answered;
        NatType type;
        NatBehavior behavior;
        int increment;
        bool test5Run;
    };
    const Row rows[] = {
        {"test 4 answered, mapping changes", true, true, true, NatType::SYMMETRIC,
         NatBehavior::PORT_SENSITIVE, 1, false},
        {"test 4 answered, same mapping", false, true, true, NatType::FULL_CONE, NatBehavior::NOT_SENSITIVE,
         0, false},
        {"test 4 silent, mapping changes", true, false, true, NatType::SYMMETRIC, NatBehavior::PORT_SENSITIVE,
         1, true},
        {"test 4 silent, same mapping, test 5 answered", false, false, true, NatType::RESTRICTED_CONE,
         NatBehavior::ADDRESS_SENSITIVE, 0, true},
        {"test 4 silent, same mapping, test 5 silent", false, false, false, NatType::PORT_RESTRICTED_CONE,
         NatBehavior::PORT_SENSITIVE, 0, true},
    };
    const std::string skipLine =
        "[test.discoveror:discoverPortAllocStrategy001] No port allocation detection needed; NAT is not "
        "symmetric";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        fake.reset();
        fake.setHandler(behindNat(
            {row.mappingChanges ? symmetricMapping : coneMapping, row.test4Answered, row.test5Answered}));
        const int skipsBefore = log.count(skipLine);
        Engine engine;
        ASSERT_TRUE(engine->init());
        engine->doMajorDiscovery();

        const Topology& topology = engine->getTopology();
        EXPECT_EQ(topology.nat.type, row.type);
        EXPECT_EQ(topology.nat.behavior, row.behavior);
        EXPECT_EQ(topology.nat.increment, row.increment);
        const NatMeasurement& measured = engine->getMeasurement();
        EXPECT_TRUE(measured.complete);
        EXPECT_TRUE(measured.translated);
        EXPECT_EQ(measured.mappingChanged, row.mappingChanges);
        EXPECT_EQ(measured.changeBoth, row.test4Answered ? TestOutcome::ANSWERED : TestOutcome::SILENT);
        EXPECT_EQ(measured.changePort, !row.test5Run       ? TestOutcome::NOT_RUN
                                       : row.test5Answered ? TestOutcome::ANSWERED
                                                           : TestOutcome::SILENT);
        // The public endpoint is the primary socket's mapping towards S1 (test 3), never the
        // alternative socket's.
        EXPECT_EQ(topology.publicAddr, PUBLIC_ADDR);
        EXPECT_EQ(topology.publicPort, 40000);
        EXPECT_TRUE(topology.isValid());

        const std::vector<FakeRequest> requests = fake.requests();
        EXPECT_EQ(countRequests(requests,
                                [](const FakeRequest& r) {
                                    return r.isChangeRequest(Attribute::CHANGE_BOTH) && r.server == 0 &&
                                           r.sourceOrdinal == 0 && r.content.attributes_size() == 1 &&
                                           r.content.attributes(0).has_change();
                                }),
                  1);
        EXPECT_EQ(countRequests(requests,
                                [](const FakeRequest& r) {
                                    return r.isChangeRequest(Attribute::CHANGE_PORT) && r.server == 0 &&
                                           r.sourceOrdinal == 0;
                                }),
                  row.test5Run ? 1 : 0);
        // Test 2 goes from the alternative socket to S4.
        EXPECT_EQ(countRequests(requests,
                                [](const FakeRequest& r) { return r.sourceOrdinal == 1 && r.server == 3; }),
                  1);
        // Only behind a symmetric NAT is the port step measured; that alone reaches S2 and S3.
        const bool symmetric = row.type == NatType::SYMMETRIC;
        for (int server : {1, 2}) {
            EXPECT_EQ(countRequests(requests, [server](const FakeRequest& r) { return r.server == server; }),
                      symmetric ? 1 : 0)
                << "server " << server;
        }
        EXPECT_EQ(log.count(skipLine), skipsBefore + (symmetric ? 0 : 1));
    }
}

TEST_F(DiscoverorTest, PortIncrementTable) {
    struct Row {
        std::vector<int> ports;  // the primary socket's public port towards S1..S4
        NatBehavior behavior;
        int increment;
        const char* warning;  // the inconsistency warning's values, or empty
    };
    const Row rows[] = {
        {{40001, 40002, 40003, 40004}, NatBehavior::PORT_SENSITIVE, 1, ""},
        {{40000, 40002, 40003, 40007}, NatBehavior::PORT_SENSITIVE, 2, "1st=2, 2nd=4"},
        {{40007, 40003, 40002, 40000}, NatBehavior::PORT_SENSITIVE, 2, "1st=2, 2nd=4"},
        {{40000, 40004, 40005, 40006}, NatBehavior::PORT_SENSITIVE, 1, "1st=4, 2nd=1"},
        {{40000, 40005, 40010, 40010}, NatBehavior::PORT_SENSITIVE, 5, "1st=5, 2nd=0"},
        {{40000, 40000, 40010, 40013}, NatBehavior::PORT_SENSITIVE, 3, "1st=0, 2nd=3"},
        {{5000, 5000, 6000, 6000}, NatBehavior::ADDRESS_SENSITIVE, 1000, ""},
        {{7000, 7000, 7000, 7000}, NatBehavior::NOT_SENSITIVE, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.ports));
        fake.reset();
        const std::vector<int> ports = row.ports;
        fake.setHandler(behindNat({[ports](const FakeRequest& r) {
            return r.sourceOrdinal == 0 ? publicEndpoint(ports[r.server]) : publicEndpoint(50000 + r.server);
        }}));
        const int warningsBefore = log.count("Inconsistent intra addr incr");
        Engine engine;
        ASSERT_TRUE(engine->init());
        engine->doMajorDiscovery();

        const Topology& topology = engine->getTopology();
        EXPECT_EQ(topology.nat.type, NatType::SYMMETRIC);
        EXPECT_EQ(topology.nat.behavior, row.behavior);
        EXPECT_EQ(topology.nat.increment, row.increment);
        EXPECT_EQ(topology.publicPort, row.ports[0]);
        const bool warned = *row.warning != '\0';
        EXPECT_EQ(log.count("Inconsistent intra addr incr"), warningsBefore + (warned ? 1 : 0));
        if (warned) {
            EXPECT_TRUE(
                log.contains(std::string("[test.discoveror:discoverPortAllocStrategy003] Inconsistent "
                                         "intra addr incr: ") +
                             row.warning));
        }
        // The measurement sends one plain request from the primary socket to each server; S1 also
        // got test 3's request.
        const std::vector<FakeRequest> requests = fake.requests();
        for (int server = 0; server < 4; ++server) {
            EXPECT_EQ(countRequests(requests,
                                    [server](const FakeRequest& r) {
                                        return r.sourceOrdinal == 0 && r.server == server && r.isPlain();
                                    }),
                      server == 0 ? 3 : 1)
                << "server " << server;
        }
    }
}

TEST_F(DiscoverorTest, FewerAnswersThanServersKeepTheIncrement) {
    // The primary socket's request to S3 is lost; everything else is a symmetric NAT.
    fake.setHandler([](const FakeRequest& r) -> std::vector<FakeReply> {
        if (r.sourceOrdinal == 0 && r.server == 2) {
            return {};
        }
        return behindNat({symmetricMapping})(r);
    });
    Engine engine;
    ASSERT_TRUE(engine->init());
    engine->doMajorDiscovery();

    const Topology& topology = engine->getTopology();
    EXPECT_EQ(topology.nat.type, NatType::SYMMETRIC);
    EXPECT_EQ(topology.nat.behavior, NatBehavior::PORT_SENSITIVE);
    EXPECT_EQ(topology.nat.increment, -1);
    EXPECT_FALSE(topology.isValid());
    EXPECT_TRUE(log.contains("[ERROR]"));
    EXPECT_TRUE(
        log.contains("[test.discoveror:discoverPortAllocStrategy002] Could not get all mapped addresses"));
    // Three answers count as an answer: the measurement is not repeated.
    EXPECT_EQ(countRequests(fake.requests(),
                            [](const FakeRequest& r) { return r.sourceOrdinal == 0 && r.server == 2; }),
              1);
}

TEST_F(DiscoverorTest, SilenceAfterEveryRetryThrowsNoUDPConnection) {
    const int retryCounts[] = {0, 1, 3};
    for (int retries : retryCounts) {
        SCOPED_TRACE(retries);
        config().setValue("tarn.retries", std::to_string(retries));
        fake.reset();
        // Only the binding check (and later the primary socket, which reuses its endpoint) is answered.
        fake.setHandler([](const FakeRequest& r) {
            return r.sourceOrdinal == 0 ? FakeRendezvous::contract(r) : std::vector<FakeReply>{};
        });
        Engine engine;
        ASSERT_TRUE(engine->init());
        const Endpoint primary = fake.requests().front().source;
        try {
            engine->doMajorDiscovery();
            ADD_FAILURE() << "discovery must fail";
        } catch (const NoUDPConnectionException& e) {
            EXPECT_EQ(std::string(e.what()),
                      "[test.discoveror:normalReplyTest] No response; giving up after " +
                          std::to_string(retries) + " retries in " + std::to_string(TIMEOUT_MS * retries) +
                          " ms");
        }
        // Test 1 was sent once plus once per retry, and nothing came after it.
        const std::vector<FakeRequest> requests = fake.requests();
        EXPECT_EQ(countRequests(requests, [](const FakeRequest& r) { return r.sourceOrdinal == 1; }),
                  retries + 1);
        EXPECT_EQ(countRequests(requests, [](const FakeRequest& r) { return r.server != 0; }), 0);
        // The new local endpoint is kept; nothing public was learnt.
        const Topology& topology = engine->getTopology();
        EXPECT_EQ(topology.localAddr, primary.address().to_string());
        EXPECT_EQ(topology.localPort, primary.port());
        EXPECT_EQ(topology.nat.type, NatType::UNKNOWN);
        EXPECT_EQ(topology.publicPort, -1);
    }
    // A failed discovery leaves the time of the last one alone: still never.
    fake.reset();
    Engine engine;
    ASSERT_TRUE(engine->init());
    EXPECT_THROW(engine->doMajorDiscovery(), NoUDPConnectionException);
    engine->refreshIfExpired(nullptr);
    EXPECT_TRUE(
        log.contains("[test.discoveror:refreshIfExpired001] Local topology discovered on 1400-Jan-01 "
                     "00:00:00 is NOT VALID; must refresh"));
}

TEST_F(DiscoverorTest, NegativeRetriesSendNothing) {
    config().setValue("tarn.retries", "-1");
    Engine engine;
    EXPECT_FALSE(engine->init());
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_TRUE(log.contains("[test.discoveror:resolveLocalEndpoint004] PING FAILED; cannot use "));
    EXPECT_TRUE(log.contains("[WARN]"));
    EXPECT_TRUE(
        log.contains("[test.discoveror:resolveLocalEndpoint006] No binding address - ANY DISCOVERY/P2P "
                     "ATTEMPTS WILL FAIL"));
    try {
        engine->doMajorDiscovery();
        ADD_FAILURE() << "an uninitialized engine must refuse";
    } catch (const UninitializedException& e) {
        EXPECT_STREQ(e.what(),
                     "[test.discoveror:doMajorDiscovery000] test.discoveror has not been initialized!");
    }
}

TEST_F(DiscoverorTest, LostRequestsAreSentAgain) {
    struct Row {
        int dropped;  // requests lost per source before the fake answers
        bool bound;
    };
    const Row rows[] = {{2, true}, {3, false}};
    Network::EndpointList candidates;
    Network::getLocalAddresses(0, candidates);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dropped);
        fake.reset();
        auto seen = std::make_shared<std::map<Endpoint, int>>();
        const int dropped = row.dropped;
        fake.setHandler([seen, dropped](const FakeRequest& r) {
            return (*seen)[r.source]++ < dropped ? std::vector<FakeReply>{} : FakeRendezvous::contract(r);
        });
        Engine engine;
        EXPECT_EQ(engine->init(), row.bound);
        const std::vector<FakeRequest> requests = fake.requests();
        // Two retries: three attempts per candidate, and every candidate tried when none answers.
        EXPECT_EQ(requests.size(), row.bound ? 3u : 3u * candidates.size());
        if (row.bound) {
            EXPECT_EQ(engine->getTopology().localPort, requests.front().source.port());
        }
    }
}

TEST_F(DiscoverorTest, AnswerWithoutMappedAddressEndsTheSearch) {
    struct Row {
        const char* label;
        Content::Type type;
        bool withMappedAddress;
    };
    const Row rows[] = {{"a PING_RESP carrying an address", Content::PING_RESP, true},
                        {"a BIND_RESP without an address", Content::BIND_RESP, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        fake.reset();
        const Row scripted = row;
        fake.setHandler([scripted](const FakeRequest& r) {
            FakeReply reply;
            reply.fromServer = r.server;
            reply.content.set_type(scripted.type);
            if (scripted.withMappedAddress) {
                tarn::generated::addAddress(reply.content, Attribute::XOR_MAPPED_ADDRESS, r.source, true);
            }
            return std::vector<FakeReply>{reply};
        });
        const int warningsBefore = log.count("resolveLocalEndpoint003");
        Engine engine;
        EXPECT_FALSE(engine->init());
        const std::vector<FakeRequest> requests = fake.requests();
        // One answered request, and no other candidate tried.
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(log.count("resolveLocalEndpoint003"), warningsBefore + 1);
        EXPECT_TRUE(log.contains("[test.discoveror:resolveLocalEndpoint003] PING FAILED; cannot use " +
                                 text(requests[0].source) + " as bind address\n"));
        EXPECT_FALSE(log.contains("resolveLocalEndpoint004"));
        EXPECT_EQ(engine->getTopology().localAddr, "0.0.0.0");
    }
}

TEST_F(DiscoverorTest, UnreachableFirstAddressFallsBackToTheNext) {
    Network::EndpointList candidates;
    Network::getLocalAddresses(0, candidates);
    if (candidates.size() < 2) {
        GTEST_SKIP() << "this host has a single IPv4 address";
    }
    const auto unreachable = candidates[0].address();
    fake.setHandler([unreachable](const FakeRequest& r) {
        return r.source.address() == unreachable ? std::vector<FakeReply>{} : FakeRendezvous::contract(r);
    });
    Engine engine;
    ASSERT_TRUE(engine->init());
    const std::vector<FakeRequest> requests = fake.requests();
    ASSERT_EQ(requests.size(), 4u);  // three attempts from the first address, one from the second
    const Endpoint answered = requests.back().source;
    EXPECT_EQ(answered.address(), candidates[1].address());
    EXPECT_EQ(engine->getTopology().localAddr, candidates[1].address().to_string());
    EXPECT_EQ(engine->getTopology().localPort, answered.port());
    EXPECT_TRUE(log.contains("[test.discoveror:resolveLocalEndpoint004] PING FAILED; cannot use " +
                             text(requests.front().source) +
                             " as bind address: [test.discoveror:normalReplyTest]"));
    EXPECT_TRUE(log.contains("[test.discoveror:resolveLocalEndpoint002] Ping succeeded; using " +
                             text(answered) + " as bind address"));
    EXPECT_TRUE(log.contains("[test.discoveror:resolveLocalEndpoint005] Using " + text(answered) + "/" +
                             answered.address().to_string() + ":0 as pri/alt binding addresses"));
}

TEST_F(DiscoverorTest, DebugModeUsesTwentyFixedPortsInTurn) {
    config().setValue("tarn.debug", "0");  // presence alone counts
    Engine engine;
    ASSERT_TRUE(engine->init());
    EXPECT_EQ(fake.requests().front().source.port(), 17770);
    EXPECT_TRUE(log.contains("[test.discoveror:findBindingPort] DEBUG MODE ON; using port 17770"));
    fake.reset();
    engine->doMajorDiscovery();
    EXPECT_EQ(fake.requests().front().source.port(), 17771);  // the alternative socket
    EXPECT_EQ(engine->getTopology().localPort, 17770);

    // Each binding search takes two ports (check and alternative); the twenty-first wraps.
    for (int cycle = 1; cycle <= 10; ++cycle) {
        SCOPED_TRACE(cycle);
        engine->shutdown();
        fake.reset();
        ASSERT_TRUE(engine->init());
        EXPECT_EQ(fake.requests().front().source.port(), cycle < 10 ? 17770 + 2 * cycle : 17770);
    }
}

TEST_F(DiscoverorTest, WrongNumberOfServersFailsInit) {
    config().setValue("tarn.addr.2", "");
    Engine engine;
    EXPECT_FALSE(engine->init());
    EXPECT_TRUE(log.contains("[test.discoveror:doInit001] Wrong number of TARN server addresses"));
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(DiscoverorTest, SettingsAreReadAndDefaultsStored) {
    Engine engine;
    ASSERT_TRUE(engine->init());
    EXPECT_EQ(config().getString("tarn.timeout.discovery"), std::to_string(TIMEOUT_MS));
    EXPECT_EQ(config().getString("tarn.trigger.discovery"), "2");
    // The engine reads the retry count without storing it; the connection service stores it.
    EXPECT_FALSE(config().hasValue("tarn.retries"));
    EXPECT_TRUE(log.contains("[test.discoveror:doInit002] Resolved TARN server addresses to \n[\n\t" +
                             text(fake.server(0)) + "\n\t" + text(fake.server(1)) + "\n\t" +
                             text(fake.server(2)) + "\n\t" + text(fake.server(3)) + "\n]"));
}

TEST(DiscoverorExpiry, AgeTable) {
    using boost::posix_time::seconds;
    struct Row {
        long ageSeconds;
        int triggerMinutes;
        bool expired;
    };
    const Row rows[] = {
        {0, 2, false},    {119, 2, false}, {120, 2, true}, {59, 1, false},
        {0, 0, true},     {3660, 2, true},  // an hour and a minute: its minutes field alone would say 1
        {86460, 2, true},                   // a day and a minute
        {-1, 2, true},                      // the clock went back
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Discoveror::isExpired(seconds(row.ageSeconds), row.triggerMinutes), row.expired)
            << row.ageSeconds << " s against " << row.triggerMinutes << " min";
    }
}

TEST_F(DiscoverorTest, RefreshOnlyWhenExpired) {
    fake.setHandler(behindNat({coneMapping}));
    Engine engine;
    ASSERT_TRUE(engine->init());
    // Never discovered: expired whatever the trigger, and every call asks again since only a full
    // discovery renews the time.
    for (int call = 0; call < 2; ++call) {
        fake.reset();
        engine->refreshIfExpired(nullptr);
        const std::vector<FakeRequest> requests = fake.requests();
        ASSERT_EQ(requests.size(), 1u);
        const FakeRequest& request = requests.front();
        EXPECT_TRUE(request.isPlain());
        EXPECT_EQ(request.server, 0);
        // A fresh socket on the local binding.
        EXPECT_EQ(request.source.address().to_string(), engine->getTopology().localAddr);
        EXPECT_EQ(request.source.port(), engine->getTopology().localPort);
    }
    EXPECT_EQ(log.count("refreshIfExpired002"), 1);
    EXPECT_TRUE(log.contains("[test.discoveror:refreshIfExpired002] Public address changed from :-1 to " +
                             std::string(PUBLIC_ADDR) + ":40000"));

    fake.reset();
    engine->doMajorDiscovery();
    const Topology before = engine->getTopology();
    fake.reset();
    engine->refreshIfExpired(nullptr);
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_TRUE(log.contains(" is still valid"));
    EXPECT_EQ(engine->getTopology().publicPort, before.publicPort);
}

TEST_F(DiscoverorTest, RefreshStoresAChangedPublicEndpointOnly) {
    config().setValue("tarn.trigger.discovery", "0");
    fake.setHandler(behindNat({coneMapping}));
    Engine engine;
    ASSERT_TRUE(engine->init());
    engine->doMajorDiscovery();
    ASSERT_EQ(engine->getTopology().nat.type, NatType::PORT_RESTRICTED_CONE);

    // The NAT restarted and maps the binding elsewhere.
    fake.setHandler(
        behindNat({[](const FakeRequest&) { return Endpoint(make_address_v4("198.51.100.1"), 41000); }}));
    engine->refreshIfExpired(nullptr);
    const Topology& topology = engine->getTopology();
    EXPECT_EQ(topology.publicAddr, "198.51.100.1");
    EXPECT_EQ(topology.publicPort, 41000);
    EXPECT_EQ(topology.nat.type, NatType::PORT_RESTRICTED_CONE);
    EXPECT_EQ(topology.nat.behavior, NatBehavior::PORT_SENSITIVE);
    EXPECT_TRUE(
        log.contains("[test.discoveror:refreshIfExpired002] Public address changed from 203.0.113.9:40000 "
                     "to 198.51.100.1:41000"));

    // An answer without a mapped address is a change to nothing.
    fake.setHandler([](const FakeRequest& r) {
        FakeReply reply;
        reply.fromServer = r.server;
        reply.content.set_type(Content::BIND_RESP);
        return std::vector<FakeReply>{reply};
    });
    engine->refreshIfExpired(nullptr);
    EXPECT_EQ(topology.publicAddr, "0.0.0.0");
    EXPECT_EQ(topology.publicPort, 0);

    fake.setHandler(silent());
    EXPECT_THROW(engine->refreshIfExpired(nullptr), NoUDPConnectionException);
}

TEST_F(DiscoverorTest, RefreshWithAMessengerAsksFromIt) {
    Engine engine;
    ASSERT_TRUE(engine->init());
    tarn::client::impl::util::Messenger messenger(Endpoint(make_address_v4("127.0.0.1"), 0));
    messenger.setName("test.messenger");
    ASSERT_TRUE(messenger.init());
    fake.reset();
    engine->refreshIfExpired(&messenger);
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests().front().source, messenger.getLocalEndpoint());
    EXPECT_EQ(engine->getTopology().publicAddr, "127.0.0.1");
    EXPECT_EQ(engine->getTopology().publicPort, messenger.getLocalEndpoint().port());
    messenger.shutdown();
}

TEST_F(DiscoverorTest, LatestPortIsTheMappingOfAFreshSocket) {
    fake.setHandler(
        behindNat({[](const FakeRequest& r) { return publicEndpoint(41000 + 3 * r.sourceOrdinal); }}));
    Engine engine;
    ASSERT_TRUE(engine->init());
    const Topology& topology = engine->getTopology();
    fake.reset();
    // Every call binds a new socket, which the NAT maps to a new port.
    EXPECT_EQ(engine->findLatestPort(), 41000);
    EXPECT_EQ(engine->findLatestPort(), 41003);
    const std::vector<FakeRequest> requests = fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const FakeRequest& request : requests) {
        EXPECT_EQ(request.server, 0);
        EXPECT_EQ(request.source.address().to_string(), topology.localAddr);
        EXPECT_NE(request.source.port(), topology.localPort);
    }
    EXPECT_NE(requests[0].source, requests[1].source);

    fake.setHandler([](const FakeRequest& r) {
        FakeReply reply;
        reply.fromServer = r.server;
        reply.content.set_type(Content::BIND_RESP);
        return std::vector<FakeReply>{reply};
    });
    EXPECT_EQ(engine->findLatestPort(), 0);

    Engine uninitialized;
    try {
        uninitialized->findLatestPort();
        ADD_FAILURE() << "an uninitialized engine must refuse";
    } catch (const UninitializedException& e) {
        EXPECT_STREQ(e.what(),
                     "[test.discoveror:findLatestPort000] test.discoveror has not been initialized!");
    }
}

TEST(DiscoverorRealServer, FindsABindingAndAHostWithoutNat) {
    TestLog log;
    RealRendezvous server;
    server.configureClient(config());
    Network::EndpointList candidates;
    Network::getLocalAddresses(0, candidates);

    Engine engine;
    ASSERT_TRUE(engine->init());
    const Topology& topology = engine->getTopology();
    // Linux delivers loopback traffic to any local address, so the first candidate answers.
    EXPECT_EQ(topology.localAddr, candidates.front().address().to_string());
    EXPECT_GT(topology.localPort, 0);
    EXPECT_TRUE(log.contains("Ping succeeded; using " + topology.localAddr + ":" +
                             std::to_string(topology.localPort)));

    // Before any discovery the refresh asks from the binding itself: the server sees it as it is.
    engine->refreshIfExpired(nullptr);
    EXPECT_EQ(topology.publicAddr, topology.localAddr);
    EXPECT_EQ(topology.publicPort, topology.localPort);

    engine->doMajorDiscovery();
    EXPECT_EQ(topology.nat.type, NatType::NONE);
    EXPECT_EQ(topology.nat.behavior, NatBehavior::NOT_SENSITIVE);
    EXPECT_EQ(topology.nat.increment, 0);
    EXPECT_EQ(topology.publicAddr, topology.localAddr);
    EXPECT_EQ(topology.publicPort, topology.localPort);
    EXPECT_TRUE(topology.isValid());

    const int latest = engine->findLatestPort();
    EXPECT_GT(latest, 0);
    EXPECT_NE(latest, topology.localPort);

    server.stop();
    EXPECT_THROW(engine->findLatestPort(), NoUDPConnectionException);
}
