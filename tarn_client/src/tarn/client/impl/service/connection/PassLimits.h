#pragma once

#include <algorithm>
#include <chrono>
#include <deque>

namespace tarn::client::impl::service::connection {

// Every bound on what a connectivity pass sends behind a symmetric NAT, declared once, with its
// reason, and the decisions that apply them as plain values. blockSize is tarn.candidate_addrs
// (1..64). A bound that cuts a plan short is logged at DEBUG and counted in the pass's last line.
//
// Used-up ports go to consecutive ports of one address, twice each (time-to-live 2 and 3): to an
// operator that looks like a port scan, and each takes a mapping of a carrier NAT's quota. An
// estimate of other hosts' port rate that overshot once would otherwise make every later pass
// send thousands of them.
struct PassLimits {
    // Ports used up before one block: at most its own size. A block further off is answered from
    // where the counter stands, as on a NAT whose counter is unknown.
    static int burnPerBlock(int blockSize) { return blockSize; }
    // Ports used up in one round (one measurement of the latest port), over all its blocks.
    static constexpr int kRoundBurnFactor = 4;
    static int burnPerRound(int blockSize) { return kRoundBurnFactor * blockSize; }
    // Ports used up in one pass: with the answers of one block per round, twice each, a pass of
    // four rounds with blocks then sends at most twelve times blockSize datagrams of a low
    // time-to-live.
    static constexpr int kPassBurnFactor = 2;
    static int burnPerPass(int blockSize) { return kPassBurnFactor * blockSize; }
    // How many ports the round may still use up, given what it and the pass used up so far.
    static int burnLeft(int blockSize, int burntInRound, int burntInPass) {
        return std::max(0, std::min(burnPerRound(blockSize) - burntInRound, burnPerPass(blockSize) - burntInPass));
    }
    // How far ahead of our own flows a block may start for other hosts' flows: so far that each
    // block can still be lined up within burnPerBlock.
    static int maxLead(int blockSize) { return blockSize; }
    // At most kBurstDatagrams datagrams leave in any kBurstWindow. A block's used-up ports and its
    // answers leave together, so the pause falls only between blocks: a gap inside a block would
    // let other hosts take its ports. With the largest block (64) both together are 256.
    static constexpr int kBurstDatagrams = 256;
    static constexpr std::chrono::milliseconds kBurstWindow{10};
    // The latest port measured again inside a round: one attempt (Discoveror::probeLatestPort),
    // as long as the round trip estimate says an answer takes, so that a rendezvous server
    // dropping binding requests costs one wait, not discovery's retries.

    // How one block lines up with the NAT's counter: `taken` ports gone since the measured port
    // (-1: unknown), its first port the first'th after it, burnLeft ports left to use up in the
    // round (burnLeft above). burn: ports to use up first; skip: leading ports of the block already
    // gone; wanted: the burn that would line the block up; cut: burn < wanted by burnPerBlock or
    // burnLeft.
    struct LineUp {
        int wanted;
        int burn;
        int skip;
        bool cut;
    };
    static LineUp lineUp(int taken, int first, int blockSize, int burnLeft);

    // Datagrams already sent in bursts, oldest first: when and how many.
    struct Burst {
        std::chrono::steady_clock::time_point at;
        int datagrams;
    };
    // The earliest moment at or after now when `datagrams` more keep every kBurstWindow within
    // kBurstDatagrams, given the recent bursts. A burst larger than the bound alone waits for an
    // empty window.
    static std::chrono::steady_clock::time_point paceUntil(const std::deque<Burst>& recent,
                                                            std::chrono::steady_clock::time_point now,
                                                            int datagrams);
};

}  // namespace tarn::client::impl::service::connection
