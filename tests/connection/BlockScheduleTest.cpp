#include "tarn/client/impl/service/connection/BlockSchedule.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using tarn::client::NatType;
using tarn::client::Peer;
using tarn::client::impl::service::connection::BlockSchedule;
using ::testing::ElementsAreArray;

Peer peerBehind(long identifier, NatType type) {
    Peer peer;
    peer.identifier = identifier;
    peer.topology.localAddr = "10.0.0." + std::to_string(identifier);
    peer.topology.nat.type = type;
    return peer;
}

TEST(BlockSchedule, DirectPingsFirstThenOneBlockPerSymmetricPeerInListOrder) {
    struct Row {
        const char* label;
        std::vector<NatType> peers;
        int blockSize;
        int latestPort;
        int increment;
        std::vector<int> conePorts;
        // Per symmetric peer in list order, the ports its answers leave from.
        std::vector<std::vector<int>> blocks;
        int lead = 0;
        bool conePingsTakePorts = true;
        int announced = 0;
    };
    const Row rows[] = {
        // Two players: the block starts right after the measured port, as the relay request
        // of a lone symmetric peer always named.
        {"one symmetric peer",
         {NatType::SYMMETRIC},
         3,
         40000,
         1,
         {40001, 40002, 40003},
         {{40001, 40002, 40003}}},
        {"two cone peers, then two symmetric",
         {NatType::SYMMETRIC, NatType::FULL_CONE, NatType::PORT_RESTRICTED_CONE, NatType::SYMMETRIC},
         3,
         40000,
         2,
         {40002, 40004, 40006},
         {{40006, 40008, 40010}, {40012, 40014, 40016}}},
        // An unknown NAT gets neither a direct ping nor a block.
        {"unknown peer",
         {NatType::UNKNOWN, NatType::NONE, NatType::SYMMETRIC},
         2,
         100,
         1,
         {101, 102},
         {{102, 103}}},
        {"past the highest port",
         {NatType::SYMMETRIC},
         3,
         65534,
         1,
         {65535, 1024, 1025},
         {{65535, 1024, 1025}}},
        {"no candidates", {NatType::FULL_CONE, NatType::SYMMETRIC}, 0, 40000, 1, {}, {{}}},
        // Other hosts take ports: each block starts two ports after the ports before it; in a later
        // round the cone peer is pinged where the first round's ping went, so no port goes to it.
        {"lead of two, later round",
         {NatType::SYMMETRIC, NatType::FULL_CONE, NatType::SYMMETRIC},
         3,
         40000,
         1,
         {40001, 40002, 40003},
         {{40003, 40004, 40005}, {40008, 40009, 40010}},
         2,
         false},
        // A later round starts after the ports the earlier rounds announced (up to 40005).
        {"after earlier announcements",
         {NatType::SYMMETRIC},
         3,
         40002,
         1,
         {40003, 40004, 40005},
         {{40006, 40007, 40008}},
         0,
         false,
         3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<Peer> peers;
        for (std::size_t i = 0; i < row.peers.size(); ++i) {
            peers.push_back(peerBehind(static_cast<long>(i) + 1, row.peers[i]));
        }
        const BlockSchedule schedule(peers, row.blockSize, row.lead, row.conePingsTakePorts, row.announced);
        EXPECT_THAT(schedule.conePorts(row.latestPort, row.increment), ElementsAreArray(row.conePorts));
        ASSERT_EQ(row.blocks.size(), schedule.countBlocks());
        std::size_t block = 0;
        for (const Peer& peer : peers) {
            const int found = schedule.blockOf(peer.identifier, peer.topology.localAddr);
            if (peer.topology.nat.type != NatType::SYMMETRIC) {
                EXPECT_EQ(-1, found);
                continue;
            }
            EXPECT_EQ(static_cast<int>(block), found);
            EXPECT_EQ(peer.identifier, schedule.peerOf(block).first);
            EXPECT_THAT(schedule.blockPorts(block, row.latestPort, row.increment),
                        ElementsAreArray(row.blocks[block]));
            ++block;
        }
        // The same identifier at another address is another peer.
        EXPECT_EQ(-1, schedule.blockOf(peers.back().identifier, "192.0.2.1"));
    }
}

}  // namespace
