#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/client/Topology.h"
#include "tarn/client/impl/service/connection/BlockSchedule.h"
#include "tarn/client/impl/service/connection/HeldPings.h"
#include "tarn/client/impl/service/connection/PassLimits.h"
#include "tarn/client/impl/util/Clock.h"
#include "tarn/client/impl/util/ReceivedMessage.h"

namespace tarn::client::impl::service::connection {

struct P2PCtxData;

// Behind a symmetric NAT: the answers to the peers' relayed pings, from holding them to sending
// them from the ports announced for them. The one owner of that rule: the held pings, the
// round's BlockSchedule, the state of each block (waiting, primed, answered, given up) and the
// ports used up. The listener hands it relayed pings (hold); the pass thread measures, schedules
// and releases. What one release sends is decided by planRelease from plain values.
//
// Such a NAT gives every new destination its next port. A block's answers first go out as
// primers, which take its ports in schedule order, and for real at the next release (at once
// when the round is over), so that the other symmetric player's primers towards our ports
// precede our answers. Before a block goes out the pass measures the latest port again unless it
// is fresh, uses up the ports before the block's first, or leaves out those already gone, within
// PassLimits.
class SymmetricAnswers {
public:
    // What one port of a block goes to, from its first port not gone on: the peer's target at
    // the same place, or an endpoint never used before (the port is used up).
    enum class Slot { ANSWER, USE_UP };
    // What a block whose ping came may answer: for each target it may answer (the peer's targets
    // on its listed addresses, in order, at most the block's size), whether that target was
    // answered earlier in the pass; and whether only the first half answers (planSlots).
    struct BlockTargets {
        std::vector<bool> answeredBefore;
        bool firstHalf = false;
    };
    // What one release does with the blocks, from nextBlock on: for each block answered, where
    // it stands against the NAT's counter and what each of its ports goes to.
    struct BlockSend {
        std::size_t block;
        PassLimits::LineUp at;
        std::vector<Slot> slots;
    };
    struct Release {
        std::vector<BlockSend> blocks;
        // The first block not yet answered nor given up after the release.
        std::size_t nextBlock;
    };
    // Blocks are answered in schedule order as their pings have come (pingCame per block, with
    // what each may answer in targets); a block whose ping has not come stops the release, unless
    // the round is over and it is given up. taken: ports gone since the measured port when the
    // release begins (-1 unknown: every block in order, nothing used up before it); each block
    // answered moves it past the ports its datagrams take, which are fewer than the block's when
    // the peer names fewer targets, so the next block lines up with its own ports. burnLeft: ports
    // the round may still use up (PassLimits::burnLeft), shared by the ports used up before each
    // block and its used-up slots.
    static Release planRelease(std::size_t nextBlock, const std::vector<bool>& pingCame,
                               const std::vector<int>& firstPositions,
                               const std::vector<BlockTargets>& targets, int blockSize, int taken,
                               int burnLeft, bool roundOver);

    // The block's slots for the peer's targets in order. answeredBefore: the target was answered
    // earlier in the pass; its mapping stands and would answer it from the old port, so its slot
    // is used up and the targets after it keep their places. firstHalf: only the first half
    // answers and the rest is used up, which keeps those targets for a later block and the
    // counter where the next block expects it. At most burnLeft slots are used up; the block ends
    // before the first one beyond.
    static std::vector<Slot> planSlots(const std::vector<bool>& answeredBefore, bool firstHalf, int burnLeft);

    // data: the pass's record, which owns this; own: our topology at the start of the pass
    // (holding only behind a symmetric NAT, the latest port until one is measured).
    SymmetricAnswers(P2PCtxData& data, const Topology& own);

    // Listener thread: keeps a relayed ping for the pass thread; false when it is to be answered
    // now (holding is off).
    bool hold(const util::ReceivedMessage& message, int index, long identifier, const std::string& logName);

    // The rest runs on the pass thread.
    int getPublicPort() const;
    // A new latest port for the round: the round's schedule and budget start anew.
    void setPublicPort(int port);
    int getPhasePort() const;
    double getForeignPortRate() const;
    void setForeignPortRate(double portsPerSecond);
    void setPortProbe(std::function<int()> probe);
    const BlockSchedule& getBlockSchedule(int blockSize, int lead);
    // Answers what the schedule allows now (P2PContext::releaseHeldPings).
    void release(bool roundOver);
    // Ends the holding: everything held is answered now, anything later by the listener at once.
    void answerNow();
    // How often a limit cut the pass short; text names each count.
    int countCuts(std::string& text) const;

private:
    struct Answered {
        std::vector<boost::asio::ip::udp::endpoint> targets;
        std::vector<boost::asio::ip::udp::endpoint> sent;
        // measuredRounds when it was answered.
        int round;
    };
    struct Cuts {
        int burns = 0;
        int leads = 0;
        int probes = 0;
    };

    // Takes out the held pings: repeats are answered again where the first answers went, new ones
    // of a peer with a block wait as pending, the rest are answered at once. A repeat of a ping
    // answered in an earlier round counts as new for a peer with a block in this one: a peer that
    // does not announce anew (the earlier order) answers our new ports from fresh ports of its
    // NAT, the ones it announced, so the new block meets it there.
    void sortHeld();
    // At the round's end: a block whose ping has not come is answered from the peer's latest ping
    // when the peer's first ping was answered only in half and targets of it are still
    // unanswered. Such a peer may answer relayed pings at once and announce the same ports every
    // round: it answered this block from those ports, and its next ping may come only after the
    // round, when a new block is announced.
    void answerLatestAtRoundEnd();
    // What the peer's held ping lets its block answer (planRelease's BlockTargets).
    BlockTargets blockTargets(const HeldPings::Held& ping, int blockSize) const;
    // Whether only the first half of the block answers the peer's ping: its first ping answered
    // from a block, which came after that block was announced.
    bool isFirstHalf(const HeldPings::Held& ping) const;
    void answerBlock(const BlockSend& send, const HeldPings::Held& ping, int blockSize);
    // The blocks primed at an earlier release, answered for real.
    void answerPrimed();
    // Ports the NAT handed out since the round's latest port, measured again unless fresh; -1
    // when unknown.
    int portsTaken();
    // count endpoints never used before below the peer's listed port: primers to them use up
    // ports of our NAT. None for a peer that may share our network.
    std::vector<boost::asio::ip::udp::endpoint> burnTargets(int index, int count);

    P2PCtxData& data;
    HeldPings held;
    // The latest own public port, whether this pass measured one, the phase's first, and how
    // many rounds measured.
    std::int32_t publicPort;
    bool measured = false;
    std::int32_t phasePort;
    int measuredRounds = 0;
    // When the counter was last measured and how many ports it has handed out since publicPort
    // (-1: unknown); whether this round's probe failed (one attempt a round).
    util::Clock::TimePoint measuredAt;
    int taken = 0;
    bool probeFailed = false;
    std::function<int()> measurePort;
    double foreignPortRate = -1;
    // The round's schedule, the peer index of each block, and the next block to answer.
    BlockSchedule schedule;
    bool scheduled = false;
    std::vector<int> blockPeers;
    std::size_t nextBlock = 0;
    // The last port that a block of this phase announced (0: none yet).
    int announcedEnd = 0;
    // Per peer index: its newest relayed ping whose targets got no answer yet; the targets of the
    // ping answered last and where the answers went; peers whose answers are still primers.
    std::map<int, HeldPings::Held> pending;
    std::map<int, Answered> answered;
    std::vector<int> primed;
    // Ports used up in the pass (each to an endpoint never used before) and in the round.
    int burnt = 0;
    int burntInRound = 0;
    Cuts cuts;
    // Schedules announced so far (read by the listener when it holds a ping), and the number of
    // the round's own.
    std::atomic<int> schedulesAnnounced{0};
    int scheduleNumber = 0;
    // Per peer index: every endpoint a block answered in the pass; whether the peer's first
    // relayed ping has been answered from a block, and whether only its first half was; its
    // latest relayed ping.
    std::map<int, std::set<boost::asio::ip::udp::endpoint>> answeredTo;
    std::set<int> firstAnswered;
    std::set<int> halved;
    std::map<int, HeldPings::Held> latest;
};

}  // namespace tarn::client::impl::service::connection
