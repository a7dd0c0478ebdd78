#include "tarn/client/impl/service/connection/DiscoveryPlan.h"

#include <string>

#include <gtest/gtest.h>
#include <boost/asio/ip/address_v4.hpp>

using tarn::client::NatMeasurement;
using tarn::client::NatType;
using tarn::client::impl::service::connection::DiscoveryPlan;
using Order = DiscoveryPlan::Order;
using Status = DiscoveryPlan::Status;
using Test = DiscoveryPlan::Test;

namespace {

DiscoveryPlan::Endpoint endpoint(unsigned short port) {
    return {boost::asio::ip::make_address_v4("192.0.2.1"), port};
}

// A NAT as the tests see it: every plain request is answered, the change tests as scripted.
struct Nat {
    bool translated;
    bool mappingChanges;
    bool changeBothAnswered;
    bool changePortAnswered;
};

struct Played {
    // The tests of each round, e.g. "12345|P" (P the port step), and the silent time-outs waited.
    std::string rounds;
    int timeouts = 0;
    DiscoveryPlan::Progress progress;
};

// Plays a plan against a NAT without sockets: in each round the answered tests end first (one round
// trip), and only if the plan is not done yet does it wait one time-out for the silent ones.
Played play(Order order, const Nat& nat) {
    const DiscoveryPlan plan(order);
    Played run;
    DiscoveryPlan::Progress& p = run.progress;
    p.altLocal = endpoint(1000);
    // Read by the plan only once the test that reports each has ended.
    p.mapped1 = nat.translated ? endpoint(2000) : p.altLocal;
    p.mapped4 = nat.mappingChanges ? endpoint(2001) : p.mapped1;
    p.ports = {20001, 20002, 20003, 20004};
    for (int round = 0; round < 10 && !DiscoveryPlan::done(p); ++round) {
        run.rounds += run.rounds.empty() ? "" : "|";
        for (const DiscoveryPlan::Probe& probe : plan.nextTests(p)) {
            run.rounds +=
                probe.test == Test::PORT_STEP ? 'P' : static_cast<char>('1' + static_cast<int>(probe.test));
            p[probe.test] = Status::RUNNING;
        }
        // The primary socket sends to S1 alone while a change test may still be answered.
        const bool changing =
            p[Test::CHANGE_BOTH] == Status::RUNNING || p[Test::CHANGE_PORT] == Status::RUNNING;
        EXPECT_FALSE(changing && p[Test::PORT_STEP] != Status::NOT_SENT) << run.rounds;
        const bool answers[] = {true, true, true, nat.changeBothAnswered, nat.changePortAnswered, true};
        for (bool silentPass : {false, true}) {
            if (silentPass && DiscoveryPlan::done(p)) {
                break;
            }
            bool waited = false;
            for (int i = 0; i < DiscoveryPlan::kTests; ++i) {
                if (p.status[i] == Status::RUNNING && answers[i] != silentPass) {
                    p.status[i] = silentPass ? Status::SILENT : Status::ANSWERED;
                    waited = silentPass;
                }
            }
            run.timeouts += waited ? 1 : 0;
        }
    }
    EXPECT_TRUE(DiscoveryPlan::done(p)) << run.rounds;
    return run;
}

}  // namespace

TEST(DiscoveryPlan, BothOrdersConcludeAlikeAndTheOverlappedOneWaitsLess) {
    struct Row {
        const char* label;
        Nat nat;
        NatType type;
        const char* documented;
        int documentedTimeouts;
        const char* overlapped;
        int overlappedTimeouts;
    };
    const Row rows[] = {
        {"no NAT", {false, false, true, true}, NatType::NONE, "1", 0, "12345", 0},
        {"full cone", {true, false, true, true}, NatType::FULL_CONE, "1|2|3|4", 0, "12345", 0},
        {"restricted cone", {true, false, false, true}, NatType::RESTRICTED_CONE, "1|2|3|4|5", 1, "12345", 1},
        {"port-restricted cone",
         {true, false, false, false},
         NatType::PORT_RESTRICTED_CONE,
         "1|2|3|4|5",
         2,
         "12345",
         1},
        {"symmetric", {true, true, false, false}, NatType::SYMMETRIC, "1|2|3|4|P", 1, "12345|P", 1},
        {"symmetric, open filter",
         {true, true, true, true},
         NatType::SYMMETRIC,
         "1|2|3|4|P",
         0,
         "12345|P",
         0},
        // Test 5 answered first: the port step still waits for test 4, whose answer comes from S4.
        {"symmetric, port open", {true, true, false, true}, NatType::SYMMETRIC, "1|2|3|4|P", 1, "12345|P", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const Played documented = play(Order::DOCUMENTED, row.nat);
        const Played overlapped = play(Order::OVERLAPPED, row.nat);
        EXPECT_EQ(documented.rounds, row.documented);
        EXPECT_EQ(documented.timeouts, row.documentedTimeouts);
        EXPECT_EQ(overlapped.rounds, row.overlapped);
        EXPECT_EQ(overlapped.timeouts, row.overlappedTimeouts);
        EXPECT_EQ(DiscoveryPlan::classify(documented.progress), row.type);
        EXPECT_EQ(DiscoveryPlan::classify(overlapped.progress), row.type);
        // Both report the tests the documented order runs, and only those.
        const NatMeasurement a = DiscoveryPlan::measurement(documented.progress);
        const NatMeasurement b = DiscoveryPlan::measurement(overlapped.progress);
        EXPECT_EQ(a.translated, row.nat.translated);
        EXPECT_EQ(b.translated, a.translated);
        EXPECT_EQ(b.mappingChanged, a.mappingChanged);
        EXPECT_EQ(b.changeBoth, a.changeBoth);
        EXPECT_EQ(b.changePort, a.changePort);
    }
}

TEST(DiscoveryPlan, ConcurrentProbesAreToldApartBySender) {
    // The first overlapped round: on each socket, no two probes await the same server.
    const std::vector<DiscoveryPlan::Probe> probes = DiscoveryPlan(Order::OVERLAPPED).nextTests({});
    ASSERT_EQ(probes.size(), 5u);
    for (const DiscoveryPlan::Probe& a : probes) {
        for (const DiscoveryPlan::Probe& b : probes) {
            if (&a != &b && a.socket == b.socket) {
                EXPECT_NE(a.answerFrom, b.answerFrom) << static_cast<int>(a.test) << static_cast<int>(b.test);
            }
        }
        // Only the alternative socket maps towards S4; the primary one sends to S1 alone.
        if (a.socket == DiscoveryPlan::Socket::PRIMARY) {
            EXPECT_EQ(a.servers, std::vector<int>{0});
        }
    }
}
