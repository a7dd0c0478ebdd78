#include "tarn/client/impl/service/connection/Discoveror.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/ip/address_v4.hpp>

#include "../portmap/FakeMapper.h"
#include "ClientConfig.h"
#include "FakeRendezvous.h"
#include "RealRendezvous.h"
#include "TestLog.h"
#include "UdpPeer.h"
#include "tarn/client/NoUDPConnectionException.h"
#include "tarn/client/UninitializedException.h"
#include "tarn/client/impl/Network.h"
#include "tarn/client/impl/service/portmap/PortMapper.h"
#include "tarn/client/impl/util/ManualClock.h"
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
using tarn::client::impl::util::Clock;
using tarn::client::impl::util::ManualClock;
using tarn::client::impl::util::SteadyClock;
using tarn::generated::Attribute;
using tarn::generated::Content;
using tarn::test::config;
using tarn::test::Endpoint;
using tarn::test::RealRendezvous;
using tarn::test::TestLog;
using tarn::test::text;
using tarn::test::connection::FakeRendezvous;
using tarn::test::connection::FakeReply;
using tarn::test::connection::FakeRequest;

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
    // The fake reports public addresses of its own making: no gateway is ever asked for a mapping.
    explicit Engine(Clock& clock = SteadyClock::instance()) : engine(clock) {
        engine.setName(ENGINE);
        config().setValue("tarn.portmap", "0");
    }
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

// A symmetric NAT that loses the primary socket's request to S3.
std::vector<FakeReply> symmetricLosingS3(const FakeRequest& request) {
    if (request.sourceOrdinal == 0 && request.server == 2) {
        return {};
    }
    return behindNat({symmetricMapping})(request);
}

// A NAT that maps the primary socket to these ports towards S1..S4, other sockets elsewhere.
FakeRendezvous::Handler primaryPorts(const std::vector<int>& ports) {
    return behindNat({[ports](const FakeRequest& r) {
        return r.sourceOrdinal == 0 ? publicEndpoint(ports[r.server]) : publicEndpoint(50000 + r.server);
    }});
}

// A BIND_RESP that names no mapped address.
std::vector<FakeReply> withoutMappedAddress(const FakeRequest& request) {
    FakeReply reply;
    reply.fromServer = request.server;
    reply.content.set_type(Content::BIND_RESP);
    return {reply};
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

// What an uninitialized engine's refusal says, or that it did not refuse.
std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const UninitializedException& e) {
        return e.what();
    }
    return "no refusal";
}

// How often a change test, or an attempt of a binding query, sends its request when no answer comes.
constexpr int kChangeTestSends = 3;
constexpr int kSendsPerAttempt = 3;

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

TEST_F(DiscoverorTest, HostWithoutNatRunsOnlyTheFirstTest) {
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

    // Test 1 only, from the alternative socket: same address, another port.
    const std::vector<FakeRequest> tests = fake.requests();
    ASSERT_EQ(tests.size(), 1u);
    EXPECT_EQ(tests[0].server, 0);
    EXPECT_EQ(tests[0].source.address(), primary.address());
    EXPECT_NE(tests[0].source.port(), primary.port());

    const NatMeasurement& measured = engine->getMeasurement();
    EXPECT_TRUE(measured.complete);
    EXPECT_FALSE(measured.translated);
    EXPECT_EQ(measured.changeBoth, TestOutcome::NOT_RUN);
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
        {"no NAT", false, false, N, N, NatBehavior::NOT_SENSITIVE, MappingBehavior::ENDPOINT_INDEPENDENT,
         FilteringBehavior::ENDPOINT_INDEPENDENT},
        {"full cone", true, false, A, N, NatBehavior::NOT_SENSITIVE, MappingBehavior::ENDPOINT_INDEPENDENT,
         FilteringBehavior::ENDPOINT_INDEPENDENT},
        {"restricted cone", true, false, S, A, NatBehavior::ADDRESS_SENSITIVE,
         MappingBehavior::ENDPOINT_INDEPENDENT, FilteringBehavior::ADDRESS_DEPENDENT},
        {"port-restricted cone", true, false, S, S, NatBehavior::PORT_SENSITIVE,
         MappingBehavior::ENDPOINT_INDEPENDENT, FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT},
        // Behind a changing mapping discovery stops after a silent first change test.
        {"symmetric per address", true, true, S, N, NatBehavior::ADDRESS_SENSITIVE,
         MappingBehavior::ADDRESS_DEPENDENT, FilteringBehavior::UNKNOWN},
        {"symmetric per port", true, true, S, N, NatBehavior::PORT_SENSITIVE,
         MappingBehavior::ADDRESS_AND_PORT_DEPENDENT, FilteringBehavior::UNKNOWN},
        {"symmetric, open filter", true, true, A, N, NatBehavior::PORT_SENSITIVE,
         MappingBehavior::ADDRESS_AND_PORT_DEPENDENT, FilteringBehavior::ENDPOINT_INDEPENDENT},
        {"changing, yet four new mappings agree", true, true, S, N, NatBehavior::NOT_SENSITIVE,
         MappingBehavior::UNKNOWN, FilteringBehavior::UNKNOWN},
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
         1, false},
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
                  row.test4Answered ? 1 : kChangeTestSends);
        EXPECT_EQ(countRequests(requests,
                                [](const FakeRequest& r) {
                                    return r.isChangeRequest(Attribute::CHANGE_PORT) && r.server == 0 &&
                                           r.sourceOrdinal == 0;
                                }),
                  row.test5Run ? (row.test5Answered ? 1 : kChangeTestSends) : 0);
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

// The overlapped order (its decisions are DiscoveryPlan's) run over sockets: the same result as
// the documented one, and the primary socket asks S2..S4 only after its last change request.
TEST_F(DiscoverorTest, OverlappedOrderFindsWhatTheDocumentedOneFinds) {
    const FakeRendezvous::Handler handlers[] = {
        &FakeRendezvous::contract,
        behindNat({coneMapping, true, true}),
        behindNat({coneMapping, false, true}),
        behindNat({coneMapping}),
        behindNat({symmetricMapping}),
        primaryPorts({40000, 40002, 40003, 40007}),
    };
    for (const FakeRendezvous::Handler& handler : handlers) {
        Topology found[2];
        NatMeasurement measured[2];
        for (int overlap : {0, 1}) {
            config().setValue("tarn.discovery.overlap", std::to_string(overlap));
            fake.reset();
            fake.setHandler(handler);
            Engine engine;
            ASSERT_TRUE(engine->init());
            engine->doMajorDiscovery();
            found[overlap] = engine->getTopology();
            measured[overlap] = engine->getMeasurement();
            const std::vector<FakeRequest> requests = fake.requests();
            // The overlapped order sends test 5 with the others, whatever the NAT.
            EXPECT_TRUE(overlap == 0 || countRequests(requests, [](const FakeRequest& r) {
                                            return r.isChangeRequest(Attribute::CHANGE_PORT);
                                        }) > 0);
            std::size_t lastChange = 0;
            for (std::size_t i = 0; i < requests.size(); ++i) {
                lastChange = requests[i].isPlain() ? lastChange : i;
                EXPECT_FALSE(requests[i].sourceOrdinal == 0 && requests[i].server != 0 && i < lastChange);
            }
        }
        SCOPED_TRACE(static_cast<int>(found[0].nat.type));
        EXPECT_EQ(found[1].nat.type, found[0].nat.type);
        EXPECT_EQ(found[1].nat.behavior, found[0].nat.behavior);
        EXPECT_EQ(found[1].nat.increment, found[0].nat.increment);
        // Without a NAT the public port is each engine's own binding.
        EXPECT_TRUE(found[0].nat.type == NatType::NONE || found[1].publicPort == found[0].publicPort);
        EXPECT_EQ(measured[1].changeBoth, measured[0].changeBoth);
        EXPECT_EQ(measured[1].changePort, measured[0].changePort);
    }
    config().getValues().erase("tarn.discovery.overlap");
}

TEST_F(DiscoverorTest, SymmetricNatStepIsMeasuredFromFourNewMappings) {
    // The primary socket's public ports towards S1..S4; the step table itself is PortPlan's.
    fake.setHandler(primaryPorts({40000, 40002, 40003, 40007}));
    Engine engine;
    ASSERT_TRUE(engine->init());
    engine->doMajorDiscovery();

    const Topology& topology = engine->getTopology();
    EXPECT_EQ(topology.nat.type, NatType::SYMMETRIC);
    EXPECT_EQ(topology.nat.behavior, NatBehavior::PORT_SENSITIVE);
    EXPECT_EQ(topology.nat.increment, 2);
    EXPECT_EQ(topology.publicPort, 40000);
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

TEST_F(DiscoverorTest, FewerAnswersThanServersKeepTheIncrement) {
    // The primary socket's request to S3 is lost; everything else is a symmetric NAT.
    fake.setHandler(symmetricLosingS3);
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
    // Only the silent server is asked again, within the retry budget.
    for (int server = 1; server < 4; ++server) {
        EXPECT_EQ(countRequests(
                      fake.requests(),
                      [server](const FakeRequest& r) { return r.sourceOrdinal == 0 && r.server == server; }),
                  server == 2 ? kSendsPerAttempt * 3 : 1)
            << "server " << server;
    }
}

TEST_F(DiscoverorTest, OneLostOrStrayDatagramDoesNotChangeTheResult) {
    struct Row {
        const char* label;
        NatScript nat;
        // Which request's answer the network loses the first time, or duplicates.
        std::function<bool(const FakeRequest&)> hit;
        bool duplicate;
        NatType type;
        int increment;
    };
    const auto firstSocketTo = [](int server) {
        return [server](const FakeRequest& r) {
            return r.sourceOrdinal == 0 && r.server == server && r.isPlain();
        };
    };
    const Row rows[] = {
        {"first answer to test 4 lost",
         {coneMapping, true, true},
         [](const FakeRequest& r) { return r.isChangeRequest(Attribute::CHANGE_BOTH); },
         false,
         NatType::FULL_CONE,
         0},
        {"first answer to test 5 lost",
         {coneMapping, false, true},
         [](const FakeRequest& r) { return r.isChangeRequest(Attribute::CHANGE_PORT); },
         false,
         NatType::RESTRICTED_CONE,
         0},
        {"one of four port answers lost", {symmetricMapping}, firstSocketTo(2), false, NatType::SYMMETRIC, 1},
        {"test 3 answered twice, no change answered",
         {coneMapping},
         firstSocketTo(0),
         true,
         NatType::PORT_RESTRICTED_CONE,
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        fake.reset();
        auto hits = std::make_shared<int>(0);
        fake.setHandler([row, hits](const FakeRequest& r) {
            std::vector<FakeReply> replies = behindNat(row.nat)(r);
            // The binding check's request also comes from source 0: its answer is left alone.
            if (!row.hit(r) || (*hits)++ != (row.duplicate ? 1 : 0)) {
                return replies;
            }
            if (row.duplicate) {
                replies.push_back(replies.front());
                return replies;
            }
            return std::vector<FakeReply>{};
        });
        Engine engine;
        ASSERT_TRUE(engine->init());
        engine->doMajorDiscovery();
        EXPECT_EQ(engine->getTopology().nat.type, row.type);
        EXPECT_EQ(engine->getTopology().nat.increment, row.increment);
    }
}

// Services that keep only the promises of the contract: any datagram from the changed endpoint
// answers a change test, and plain answers may come from another endpoint than the one asked.
TEST_F(DiscoverorTest, ServiceKeepingOnlyTheContractClassifiesAsDocumented) {
    // An ERROR datagram from the given server instead of the answer to a change request.
    const auto errorFrom = [](int server) {
        FakeReply reply;
        reply.fromServer = server;
        reply.content.set_type(Content::ERROR);
        return std::vector<FakeReply>{reply};
    };
    struct Row {
        const char* label;
        FakeRendezvous::Handler handler;
        NatType type;
        int increment;
        // Text the log must hold afterwards, if any.
        std::string line;
    };
    const std::string s1 = text(fake.server(0));
    const Row rows[] = {
        {"full cone; changes answered by an ERROR from the changed endpoint",
         [errorFrom](const FakeRequest& r) {
             return r.isPlain() ? behindNat({coneMapping})(r)
                                : errorFrom(FakeRendezvous::changedServer(r.server,
                                                                          r.content.attributes(0).change()));
         },
         NatType::FULL_CONE, 0, ""},
        {"port-restricted cone; changes answered by an ERROR from the server asked",
         [errorFrom](const FakeRequest& r) {
             return r.isPlain() ? behindNat({coneMapping})(r) : errorFrom(r.server);
         },
         NatType::PORT_RESTRICTED_CONE, 0,
         "[test.discoveror:handle002] Dropping a late ERROR from " + s1 + ": its request was already judged"},
        {"symmetric; plain requests answered from the other port",
         [](const FakeRequest& r) {
             std::vector<FakeReply> replies = behindNat({symmetricMapping})(r);
             if (r.isPlain()) {
                 replies.front().fromServer = FakeRendezvous::changedServer(r.server, Attribute::CHANGE_PORT);
             }
             return replies;
         },
         NatType::SYMMETRIC, 1,
         "[test.discoveror:expire000] Accepting 1 answer(s) from " + text(fake.server(1)) +
             ", which was not asked, for a request to " + s1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        fake.reset();
        fake.setHandler(row.handler);
        Engine engine;
        ASSERT_TRUE(engine->init());
        engine->doMajorDiscovery();
        EXPECT_EQ(engine->getTopology().nat.type, row.type);
        EXPECT_EQ(engine->getTopology().nat.increment, row.increment);
        EXPECT_TRUE(engine->getTopology().isValid());
        EXPECT_TRUE(row.line.empty() || log.contains(row.line)) << row.line;
    }
}

// The wire carries no transaction: an answer that comes after its test was judged must not pass
// for a later test's answer from the same socket.
TEST_F(DiscoverorTest, LateAnswersGoToNoLaterTest) {
    struct Row {
        const char* label;
        NatScript nat;
        // Whether a request is the one the late datagram comes with, and the datagram.
        std::function<bool(const FakeRequest&)> carrier;
        std::function<FakeReply(const FakeRequest&)> late;
        // How many of the carrier's requests the NAT loses before one gets through.
        int lost;
    };
    const auto plainFrom = [](int ordinal, int server) {
        return [ordinal, server](const FakeRequest& r) {
            return r.sourceOrdinal == ordinal && r.server == server && r.isPlain();
        };
    };
    const Row rows[] = {
        {"test 1 answered again during test 2, whose first attempt is lost",
         {symmetricMapping},
         plainFrom(1, 3),
         [](const FakeRequest&) { return FakeRendezvous::bindResponse(0, publicEndpoint(40010)); },
         kSendsPerAttempt},
        {"test 4 answered again when the port step asks S4",
         {symmetricMapping, true},
         plainFrom(0, 3),
         [](const FakeRequest& r) { return FakeRendezvous::bindResponse(3, r.source); },
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        fake.reset();
        auto seen = std::make_shared<int>(0);
        fake.setHandler([row, seen](const FakeRequest& r) {
            std::vector<FakeReply> replies = behindNat(row.nat)(r);
            if (!row.carrier(r)) {
                return replies;
            }
            const int n = (*seen)++;
            std::vector<FakeReply> sent;
            if (n == 0) {
                sent.push_back(row.late(r));
            }
            if (n >= row.lost) {
                sent.insert(sent.end(), replies.begin(), replies.end());
            }
            return sent;
        });
        Engine engine;
        ASSERT_TRUE(engine->init());
        engine->doMajorDiscovery();
        EXPECT_EQ(engine->getTopology().nat.type, NatType::SYMMETRIC);
        EXPECT_EQ(engine->getTopology().nat.increment, 1);
        EXPECT_GE(engine->getMeasurement().lateAnswers, 1);
    }
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
        // The binding check is answered and needs no stepping; discovery hears nothing, so a
        // stepped clock runs its every wait to the end at once.
        ManualClock clock;
        Engine engine(clock);
        ASSERT_TRUE(engine->init());
        const Endpoint primary = fake.requests().front().source;
        try {
            clock.runStepping([&] { engine->doMajorDiscovery(); });
            ADD_FAILURE() << "discovery must fail";
        } catch (const NoUDPConnectionException& e) {
            EXPECT_EQ(std::string(e.what()),
                      "[test.discoveror:normalReplyTest] No response; giving up after " +
                          std::to_string(retries) + " retries in " + std::to_string(TIMEOUT_MS * retries) +
                          " ms");
        }
        // Test 1 was sent three times in each attempt, one attempt plus one per retry, and nothing
        // came after it.
        const std::vector<FakeRequest> requests = fake.requests();
        EXPECT_EQ(countRequests(requests, [](const FakeRequest& r) { return r.sourceOrdinal == 1; }),
                  kSendsPerAttempt * (retries + 1));
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
    ManualClock clock;
    Engine engine(clock);
    ASSERT_TRUE(engine->init());
    EXPECT_THROW(clock.runStepping([&] { engine->doMajorDiscovery(); }), NoUDPConnectionException);
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
    EXPECT_EQ(engine->getTopology().localAddr, "0.0.0.0");
    EXPECT_EQ(refusal([&] { engine->doMajorDiscovery(); }),
              "[test.discoveror:doMajorDiscovery000] test.discoveror has not been initialized!");
}

TEST_F(DiscoverorTest, LostRequestsAreSentAgain) {
    struct Row {
        int dropped;  // requests lost per source before the fake answers
        bool bound;
    };
    const Row rows[] = {{2, true}, {8, true}, {9, false}};
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
        // Two retries: three attempts of three sends per candidate, and every candidate tried when
        // none answers.
        const std::size_t perCandidate = kSendsPerAttempt * 3;
        EXPECT_EQ(requests.size(),
                  row.bound ? static_cast<std::size_t>(row.dropped + 1) : perCandidate * candidates.size());
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
    // Three attempts of three sends from the first address, one from the second.
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(3 * kSendsPerAttempt + 1));
    const Endpoint answered = requests.back().source;
    EXPECT_EQ(answered.address(), candidates[1].address());
    EXPECT_EQ(engine->getTopology().localAddr, candidates[1].address().to_string());
    EXPECT_EQ(engine->getTopology().localPort, answered.port());
}

TEST_F(DiscoverorTest, DebugModeUsesTwentyFixedPortsInTurn) {
    config().setValue("tarn.debug", "0");  // presence alone counts
    Engine engine;
    ASSERT_TRUE(engine->init());
    EXPECT_EQ(fake.requests().front().source.port(), 17770);
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
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(DiscoverorTest, SettingsAreReadAndDefaultsStored) {
    Engine engine;
    ASSERT_TRUE(engine->init());
    EXPECT_EQ(config().getString("tarn.timeout.discovery"), std::to_string(TIMEOUT_MS));
    EXPECT_EQ(config().getString("tarn.trigger.discovery"), "2");
    // The engine reads the retry count without storing it; the connection service stores it.
    EXPECT_FALSE(config().hasValue("tarn.retries"));
}

// Each prescribed line of the engine with its level, checked once; the other tests check what
// the engine did.
TEST_F(DiscoverorTest, PrescribedLogLines) {
    struct Line {
        const char* level;
        std::string text;
    };
    struct Row {
        const char* what;
        // Drives the engine and returns the lines it must have logged.
        std::function<std::vector<Line>(Discoveror&)> drive;
    };
    const std::string s1 = text(fake.server(0));
    const Row rows[] = {
        {"host without NAT",
         [&](Discoveror& engine) -> std::vector<Line> {
             EXPECT_TRUE(engine.init());
             engine.doMajorDiscovery();
             engine.refreshIfExpired(nullptr);
             const Topology& topology = engine.getTopology();
             const std::string bound = topology.localAddr + ":" + std::to_string(topology.localPort);
             return {{"DEBUG", "[test.discoveror:doInit002] Resolved TARN server addresses to \n[\n\t" + s1 +
                                   "\n\t" + text(fake.server(1)) + "\n\t" + text(fake.server(2)) + "\n\t" +
                                   text(fake.server(3)) + "\n]"},
                     {"DEBUG", "[test.discoveror:resolveLocalEndpoint002] Ping succeeded; using " + bound +
                                   " as bind address"},
                     {"INFO", "[test.discoveror:resolveLocalEndpoint005] Using " + bound + "/" +
                                  topology.localAddr + ":0 as pri/alt binding addresses"},
                     {"INFO", "[test.discoveror:discoverNAT000] Discovering NAT behavior"},
                     {"TRACE", "[test.discoveror:discoverNAT000] Test 1: ping " + s1 + " from "},
                     {"INFO",
                      "[test.discoveror:discoverPortAllocStrategy000] Detecting NAT's port allocation "
                      "behavior"},
                     {"DEBUG",
                      "[test.discoveror:discoverPortAllocStrategy001] No port allocation detection "
                      "needed; NAT is not symmetric"},
                     {"DEBUG", "[test.discoveror:refreshIfExpired000] Local topology discovered on "},
                     {"DEBUG", " is still valid"}};
         }},
        {"port-restricted cone NAT, then a refresh",
         [&](Discoveror& engine) -> std::vector<Line> {
             config().setValue("tarn.trigger.discovery", "0");
             fake.setHandler(behindNat({coneMapping}));
             EXPECT_TRUE(engine.init());
             engine.doMajorDiscovery();
             fake.setHandler(behindNat(
                 {[](const FakeRequest&) { return Endpoint(make_address_v4("198.51.100.1"), 41000); }}));
             engine.refreshIfExpired(nullptr);
             config().setValue("tarn.trigger.discovery", "2");
             const Topology& topology = engine.getTopology();
             const std::string pri = topology.localAddr + ":" + std::to_string(topology.localPort);
             return {{"TRACE",
                      "[test.discoveror:discoverNAT001] Test 2: ping " + text(fake.server(3)) + " from "},
                     {"TRACE", "[test.discoveror:discoverNAT002] Test 3: ping " + s1 + " from " + pri},
                     {"TRACE", "[test.discoveror:discoverNAT004] Test 4: ping " + s1 + " from " + pri +
                                   ", svr responds from alt IP/port"},
                     {"TRACE", "[test.discoveror:discoverNAT004] Test 5: ping " + s1 + " from " + pri +
                                   ", svr responds from alt port"},
                     {"DEBUG", "[test.discoveror:refreshIfExpired001] Local topology discovered on "},
                     {"DEBUG", " is NOT VALID; must refresh"},
                     {"WARN",
                      "[test.discoveror:refreshIfExpired002] Public address changed from "
                      "203.0.113.9:40000 to 198.51.100.1:41000"}};
         }},
        {"symmetric NAT with unequal steps",
         [&](Discoveror& engine) -> std::vector<Line> {
             fake.setHandler(primaryPorts({40000, 40002, 40003, 40007}));
             EXPECT_TRUE(engine.init());
             engine.doMajorDiscovery();
             return {{"WARN",
                      "[test.discoveror:discoverPortAllocStrategy003] Inconsistent intra addr incr: 1st=2, "
                      "2nd=4"}};
         }},
        {"symmetric NAT, three answers of four",
         [&](Discoveror& engine) -> std::vector<Line> {
             fake.setHandler(symmetricLosingS3);
             EXPECT_TRUE(engine.init());
             engine.doMajorDiscovery();
             return {{"ERROR",
                      "[test.discoveror:discoverPortAllocStrategy002] Could not get all mapped addresses"}};
         }},
        {"binding check unanswered",
         [&](Discoveror& engine) -> std::vector<Line> {
             config().setValue("tarn.retries", "-1");
             EXPECT_FALSE(engine.init());
             config().getValues().erase("tarn.retries");
             return {
                 {"INFO", "[test.discoveror:normalReplyTest] No response; giving up after -1 retries in -" +
                              std::to_string(TIMEOUT_MS) + " ms"},
                 {"WARN", "[test.discoveror:resolveLocalEndpoint004] PING FAILED; cannot use "},
                 {"WARN", " as bind address: [test.discoveror:normalReplyTest] No response"},
                 {"WARN",
                  "[test.discoveror:resolveLocalEndpoint006] No binding address - ANY DISCOVERY/P2P "
                  "ATTEMPTS WILL FAIL"}};
         }},
        {"binding check answered without a mapped address",
         [&](Discoveror& engine) -> std::vector<Line> {
             fake.setHandler(withoutMappedAddress);
             EXPECT_FALSE(engine.init());
             return {{"WARN", "[test.discoveror:resolveLocalEndpoint003] PING FAILED; cannot use " +
                                  text(fake.requests().front().source) + " as bind address\n"}};
         }},
        {"wrong number of servers",
         [&](Discoveror& engine) -> std::vector<Line> {
             config().setValue("tarn.addr.2", "");
             EXPECT_FALSE(engine.init());
             fake.configure(config());
             return {{"TRACE", "[test.discoveror:doInit001] Wrong number of TARN server addresses"}};
         }},
        {"debug mode",
         [&](Discoveror& engine) -> std::vector<Line> {
             config().setValue("tarn.debug", "0");
             EXPECT_TRUE(engine.init());
             config().getValues().erase("tarn.debug");
             return {{"WARN", "[test.discoveror:findBindingPort] DEBUG MODE ON; using port 17770"}};
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fake.reset();
        fake.setHandler(&FakeRendezvous::contract);
        const std::size_t before = log.text().size();
        Engine engine;
        for (const Line& line : row.drive(*engine)) {
            const std::string written = log.text().substr(before);
            const std::size_t at = written.find(line.text);
            ASSERT_NE(at, std::string::npos) << "the log lacks: " << line.text;
            const std::size_t start =
                written.rfind('\n', at) == std::string::npos ? 0 : written.rfind('\n', at) + 1;
            EXPECT_EQ(written.compare(start, std::string(line.level).size() + 2,
                                      "[" + std::string(line.level) + "]"),
                      0)
                << line.text;
        }
    }
}

TEST(DiscoverorExpiry, AgeTable) {
    using std::chrono::milliseconds;
    using std::chrono::minutes;
    using std::chrono::seconds;
    struct Row {
        milliseconds age;
        minutes trigger;
        bool expired;
    };
    const Row rows[] = {
        {seconds(0), minutes(2), false},
        {seconds(119), minutes(2), false},
        {milliseconds(119999), minutes(2), false},  // whole minutes count
        {seconds(120), minutes(2), true},
        {seconds(59), minutes(1), false},
        {seconds(0), minutes(0), true},
        {seconds(3660), minutes(2), true},  // an hour and a minute: its minutes field alone would say 1
        {seconds(3660), minutes(61), true},
        {seconds(86460), minutes(2), true},  // a day and a minute
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Discoveror::isExpired(row.age, row.trigger), row.expired)
            << row.age.count() << " ms against " << row.trigger.count() << " min";
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
    // Only the first call found a change.
    EXPECT_EQ(log.count("refreshIfExpired002"), 1);
    EXPECT_EQ(engine->getTopology().publicPort, 40000);

    fake.reset();
    engine->doMajorDiscovery();
    const Topology before = engine->getTopology();
    fake.reset();
    engine->refreshIfExpired(nullptr);
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_EQ(engine->getTopology().publicPort, before.publicPort);
}

// Behind a full cone every test is answered, so discovery needs no time to pass; then only the
// engine's clock ages the topology.
TEST_F(DiscoverorTest, TopologyAgesOnTheEnginesClock) {
    fake.setHandler(behindNat({coneMapping, true, true}));
    ManualClock clock;
    Engine engine(clock);
    ASSERT_TRUE(engine->init());
    engine->doMajorDiscovery();
    for (const std::size_t asked : {0u, 1u}) {
        clock.advance(std::chrono::seconds(asked == 0 ? 119 : 1));  // the trigger is 2 minutes
        fake.reset();
        engine->refreshIfExpired(nullptr);
        EXPECT_EQ(fake.requests().size(), asked);
    }
}

TEST_F(DiscoverorTest, RouterMappingIsAdvertisedKeptByRefreshAndDeletedAtShutdown) {
    config().setValue("tarn.trigger.discovery", "0");
    fake.setHandler(behindNat({coneMapping}));
    FakeMapper::Policy policy;
    policy.external = make_address_v4(PUBLIC_ADDR);
    policy.externalPort = [](int) { return 45000; };
    FakeMapper mapper(true, policy);
    ASSERT_TRUE(mapper.bound);
    Engine engine;
    ASSERT_TRUE(engine->init());
    tarn::client::impl::service::portmap::PortMapper::Settings settings;
    settings.gateway = mapper.address;
    settings.upnp = false;
    settings.budget = settings.firstAnswer = settings.pcpGrace = std::chrono::seconds(5);
    engine->getPortMapper().configure(settings);

    engine->doMajorDiscovery();
    const Topology& topology = engine->getTopology();
    EXPECT_EQ(topology.publicAddr, PUBLIC_ADDR);
    EXPECT_EQ(topology.publicPort, 45000);
    EXPECT_EQ(topology.nat.type, NatType::FULL_CONE);
    EXPECT_EQ(topology.nat.behavior, NatBehavior::NOT_SENSITIVE);
    EXPECT_EQ(topology.nat.increment, 0);
    // What the tests measured stays: a port-restricted NAT.
    const NatMeasurement& measured = engine->getMeasurement();
    EXPECT_EQ(measured.filtering(), FilteringBehavior::ADDRESS_AND_PORT_DEPENDENT);
    EXPECT_EQ(measured.mappingProtocol, "PCP");
    EXPECT_EQ(measured.mappedPort, 45000);

    // The refresh sees the NAT's own port (40000 + n) at the router's address: the mapping stays,
    // and the mapper renews it.
    engine->refreshIfExpired(nullptr);
    EXPECT_EQ(topology.publicPort, 45000);
    EXPECT_EQ(topology.nat.type, NatType::FULL_CONE);
    ASSERT_EQ(mapper.awaitRequests(2).size(), 2u);

    engine->shutdown();
    const auto requests = mapper.awaitRequests(3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests.back().lifetime, 0u);
    EXPECT_EQ(requests.back().nonce, requests.front().nonce);
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

    // An answer without a mapped address is a change to nothing.
    fake.setHandler(withoutMappedAddress);
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

    fake.setHandler(withoutMappedAddress);
    EXPECT_EQ(engine->findLatestPort(), 0);

    Engine uninitialized;
    EXPECT_EQ(refusal([&] { uninitialized->findLatestPort(); }),
              "[test.discoveror:findLatestPort000] test.discoveror has not been initialized!");
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
