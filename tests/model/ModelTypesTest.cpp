#include "tarn/client/Peer.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tarn/client/NatInfo.h"
#include "tarn/client/Topology.h"

using namespace tarn::client;

namespace {

template <typename T>
std::string text(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

Topology completeTopology() {
    Topology topology;
    topology.nat = {NatType::FULL_CONE, NatBehavior::NOT_SENSITIVE, 0};
    topology.localAddr = "192.168.0.10";
    topology.localPort = 600;
    topology.publicAddr = "198.51.100.20";
    topology.publicPort = 600;
    return topology;
}

}  // namespace

TEST(ModelTypes, EnumerationTextsIncludingOutOfRangeValues) {
    const struct {
        int value;
        const char* nat;
        const char* behavior;
        const char* connection;
    } rows[] = {
        {-1, "UNKNOWN", "UNKNOWN", "NONE"},
        {0, "UNKNOWN", "UNKNOWN", "NONE"},
        {1, "NONE", "NOT SENSITIVE", "DIRECT PRIVATE"},
        {2, "FULL CONE", "ADDRESS SENSITIVE", "DIRECT PUBLIC"},
        {3, "RESTRICTED CONE", "PORT SENSITIVE", "RELAY"},
        {4, "PORT RESTRICTED CONE", "UNKNOWN", "NONE"},  // SELF prints as NONE
        {5, "SYMMETRIC", "UNKNOWN", "NONE"},
        {6, "UNKNOWN", "UNKNOWN", "NONE"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(toString(static_cast<NatType>(row.value)), row.nat);
        EXPECT_EQ(toString(static_cast<NatBehavior>(row.value)), row.behavior);
        EXPECT_EQ(toString(static_cast<ConnectionType>(row.value)), row.connection);
    }
}

TEST(ModelTypes, NumbersThatLeaveTheProcessAreFixed) {
    EXPECT_EQ(static_cast<int>(NatType::SYMMETRIC), 5);
    EXPECT_EQ(static_cast<int>(NatType::PORT_RESTRICTED_CONE), 4);
    EXPECT_EQ(static_cast<int>(NatBehavior::PORT_SENSITIVE), 3);
    EXPECT_EQ(static_cast<int>(ConnectionType::RELAY), 3);
    EXPECT_EQ(static_cast<int>(ConnectionType::SELF), 4);
    EXPECT_EQ(sizeof(NatType), 4u);
    EXPECT_EQ(sizeof(NatBehavior), 4u);
    EXPECT_EQ(sizeof(ConnectionType), 4u);
}

TEST(ModelTypes, TextForms) {
    EXPECT_EQ(text(NatInfo{NatType::SYMMETRIC, NatBehavior::PORT_SENSITIVE, 1}),
              "[type=SYMMETRIC, behavior=PORT SENSITIVE, increment=1]");
    EXPECT_EQ(text(completeTopology()),
              "[NAT=[type=FULL CONE, behavior=NOT SENSITIVE, increment=0], local addr=192.168.0.10:600, "
              "public addr=198.51.100.20:600]");
    EXPECT_EQ(text(Topology{}),
              "[NAT=[type=UNKNOWN, behavior=UNKNOWN, increment=0], local addr=:0, public addr=:0]");

    Peer peer;
    peer.identifier = 17;
    peer.connection = ConnectionType::RELAY;
    peer.topology = completeTopology();
    EXPECT_EQ(text(peer), "[identifier=17, connection=RELAY, topology=" + text(peer.topology) + "]");
    peer.connection = ConnectionType::SELF;
    peer.identifier = -3;
    EXPECT_EQ(text(peer), "[identifier=-3, connection=NONE, topology=" + text(peer.topology) + "]");
}

TEST(ModelTypes, ValidityRuleChecksEveryField) {
    EXPECT_TRUE(completeTopology().isValid());
    EXPECT_FALSE(Topology{}.isValid());

    const struct {
        const char* what;
        void (*spoil)(Topology&);
        bool valid;
    } rows[] = {
        {"unknown type", [](Topology& t) { t.nat.type = NatType::UNKNOWN; }, false},
        {"type outside the table", [](Topology& t) { t.nat.type = static_cast<NatType>(9); }, true},
        {"unknown behaviour", [](Topology& t) { t.nat.behavior = NatBehavior::UNKNOWN; }, false},
        {"behaviour outside the table", [](Topology& t) { t.nat.behavior = static_cast<NatBehavior>(-2); },
         true},
        {"increment -1", [](Topology& t) { t.nat.increment = -1; }, false},
        {"increment 7", [](Topology& t) { t.nat.increment = 7; }, true},
        {"empty local address", [](Topology& t) { t.localAddr.clear(); }, false},
        {"any-address", [](Topology& t) { t.localAddr = "0.0.0.0"; }, false},
        {"0.0.0.1", [](Topology& t) { t.localAddr = "0.0.0.1"; }, true},
        {"unparsed text", [](Topology& t) { t.localAddr = "not an address"; }, true},
        {"local port 0", [](Topology& t) { t.localPort = 0; }, false},
        {"local port -1", [](Topology& t) { t.localPort = -1; }, false},
        {"empty public address", [](Topology& t) { t.publicAddr.clear(); }, false},
        {"public port 0", [](Topology& t) { t.publicPort = 0; }, false},
        {"public port 1", [](Topology& t) { t.publicPort = 1; }, true},
    };
    for (const auto& row : rows) {
        Topology topology = completeTopology();
        row.spoil(topology);
        EXPECT_EQ(topology.isValid(), row.valid) << row.what;
    }
}
