#include "tarn/client/impl/service/connection/SymmetricAnswers.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "tarn/client/TARNException.h"
#include "tarn/client/impl/Log.h"
#include "tarn/client/impl/service/connection/P2PCtxData.h"
#include "tarn/client/impl/service/connection/P2PListener.h"
#include "tarn/client/impl/service/connection/PortPlan.h"
#include "tarn/client/impl/util/Intervals.h"

namespace tarn::client::impl::service::connection {

namespace gen = tarn::generated;
using Endpoint = boost::asio::ip::udp::endpoint;
using EndpointList = std::vector<Endpoint>;

namespace {
// Ports used up go no lower than this: below it lie the ports of well-known services.
const int kLowestBurnPort = 1024;
// Every used-up port and every answer of a block goes out once per primer time-to-live.
const int kPrimerCopies = static_cast<int>(std::size(P2PCtxData::kPrimerTimesToLive));
}  // namespace

SymmetricAnswers::Release SymmetricAnswers::planRelease(
    std::size_t nextBlock, const std::vector<bool>& pingCame, const std::vector<int>& firstPositions,
    const std::vector<BlockTargets>& targets, int blockSize, int taken, int burnLeft, bool roundOver) {
    Release plan{{}, nextBlock};
    const std::size_t blocks = std::min({pingCame.size(), firstPositions.size(), targets.size()});
    for (; plan.nextBlock < blocks; ++plan.nextBlock) {
        if (!pingCame[plan.nextBlock]) {
            if (!roundOver) {
                break;
            }
            // Given up: the next block lines up by itself, and its used-up ports are this one's.
            continue;
        }
        const PassLimits::LineUp at =
            PassLimits::lineUp(taken, firstPositions[plan.nextBlock], blockSize, burnLeft);
        // The block's own used-up slots come out of what the ports before it left of both bounds.
        const BlockTargets& block = targets[plan.nextBlock];
        const std::size_t skip = std::min(static_cast<std::size_t>(at.skip), block.answeredBefore.size());
        const std::vector<bool> fromFirstFree(
            block.answeredBefore.begin() + static_cast<std::ptrdiff_t>(skip), block.answeredBefore.end());
        const int slotsLeft = std::min(PassLimits::burnPerBlock(blockSize), burnLeft) - at.burn;
        std::vector<Slot> slots = planSlots(fromFirstFree, block.firstHalf, slotsLeft);
        burnLeft -= at.burn + static_cast<int>(std::count(slots.begin(), slots.end(), Slot::USE_UP));
        if (taken >= 0) {
            taken += at.burn + static_cast<int>(slots.size());
        }
        plan.blocks.push_back({plan.nextBlock, at, std::move(slots)});
    }
    return plan;
}

std::vector<SymmetricAnswers::Slot> SymmetricAnswers::planSlots(const std::vector<bool>& answeredBefore,
                                                                bool firstHalf, int burnLeft) {
    std::vector<Slot> slots;
    const std::size_t answering = firstHalf ? (answeredBefore.size() + 1) / 2 : answeredBefore.size();
    for (std::size_t i = 0; i < answeredBefore.size(); ++i) {
        const bool useUp = answeredBefore[i] || i >= answering;
        if (useUp && burnLeft-- <= 0) {
            break;
        }
        slots.push_back(useUp ? Slot::USE_UP : Slot::ANSWER);
    }
    return slots;
}

SymmetricAnswers::SymmetricAnswers(P2PCtxData& data, const Topology& own)
    : data(data),
      held(own.nat.type == NatType::SYMMETRIC),
      publicPort(own.publicPort),
      phasePort(own.publicPort) {}

bool SymmetricAnswers::hold(const util::ReceivedMessage& message, int index, long identifier,
                            const std::string& logName) {
    return held.hold(message, index, identifier, schedulesAnnounced.load(), logName);
}

int SymmetricAnswers::getPublicPort() const {
    return publicPort;
}

void SymmetricAnswers::setPublicPort(int port) {
    if (!measured) {
        phasePort = port;
    }
    publicPort = port;
    measured = true;
    ++measuredRounds;
    measuredAt = data.clock.now();
    taken = 0;
    probeFailed = false;
    scheduled = false;
    burntInRound = 0;
}

int SymmetricAnswers::getPhasePort() const {
    return phasePort;
}

double SymmetricAnswers::getForeignPortRate() const {
    return foreignPortRate;
}

void SymmetricAnswers::setForeignPortRate(double portsPerSecond) {
    foreignPortRate = portsPerSecond;
}

void SymmetricAnswers::setPortProbe(std::function<int()> probe) {
    measurePort = std::move(probe);
}

const BlockSchedule& SymmetricAnswers::getBlockSchedule(int blockSize, int lead) {
    if (scheduled) {
        return schedule;
    }
    if (lead > PassLimits::maxLead(blockSize)) {
        ++cuts.leads;
        Log::debug(data.name, "getBlockSchedule", "Blocks %1% ports ahead of our flows cut to %2%", lead,
                   PassLimits::maxLead(blockSize));
        lead = PassLimits::maxLead(blockSize);
    }
    std::vector<Peer> unconnected;
    data.peers.getUnconnected(unconnected);
    const int increment = data.peers.getTopology().nat.increment;
    // A peer answers ports it was told in an earlier round through the mappings it made then, from
    // older ports than the ones it announces now: the new blocks start after them.
    const int announced = announcedEnd > 0 ? std::max(PortPlan::stepsBetween(publicPort, announcedEnd, increment), 0)
                                           : 0;
    // Only the phase's first round pings peers at endpoints it has not used before.
    schedule = BlockSchedule(unconnected, blockSize, lead, measuredRounds == 1, announced);
    if (schedule.countBlocks() > 0) {
        announcedEnd = schedule.blockPorts(schedule.countBlocks() - 1, publicPort, increment).back();
    }
    scheduleNumber = ++schedulesAnnounced;
    scheduled = true;
    nextBlock = 0;
    blockPeers.clear();
    for (std::size_t block = 0; block < schedule.countBlocks(); ++block) {
        const auto& peer = schedule.peerOf(block);
        blockPeers.push_back(data.peers.find(peer.second, peer.first));
    }
    // The round's direct pings go out right after its destinations are chosen.
    if (taken >= 0) {
        taken += schedule.getConePeers();
    }
    return schedule;
}

void SymmetricAnswers::release(bool roundOver) {
    if (!measured) {
        return;
    }
    answerPrimed();
    sortHeld();
    if (roundOver) {
        answerLatestAtRoundEnd();
    }
    const int blockSize = schedule.getBlockSize();
    std::vector<bool> came;
    std::vector<int> firstPositions;
    std::vector<BlockTargets> targets(schedule.countBlocks());
    for (std::size_t block = 0; block < schedule.countBlocks(); ++block) {
        const auto ping = pending.find(blockPeers[block]);
        came.push_back(ping != pending.end());
        firstPositions.push_back(schedule.firstPosition(block));
        if (block >= nextBlock && ping != pending.end()) {
            targets[block] = blockTargets(ping->second, blockSize);
        }
    }
    const int left = PassLimits::burnLeft(blockSize, burntInRound, burnt);
    Release plan = planRelease(nextBlock, came, firstPositions, targets, blockSize, taken, left, roundOver);
    // The counter is measured only when a block goes out, and then the plan follows it.
    if (!plan.blocks.empty()) {
        plan =
            planRelease(nextBlock, came, firstPositions, targets, blockSize, portsTaken(), left, roundOver);
    }
    for (const BlockSend& send : plan.blocks) {
        const auto ping = pending.find(blockPeers[send.block]);
        answerBlock(send, ping->second, blockSize);
        pending.erase(ping);
    }
    nextBlock = plan.nextBlock;
    // Nothing of this round comes later to answer what was just primed.
    if (roundOver) {
        answerPrimed();
    }
}

void SymmetricAnswers::answerNow() {
    for (const HeldPings::Held& h : held.release()) {
        P2PListener::answerPing(h.message, h.index, h.identifier, data, P2PListener::kMaxAnswerTargets);
    }
}

int SymmetricAnswers::countCuts(std::string& text) const {
    const int paced = data.pausedBatches.load();
    text = Log::format("%1% used-up port runs, %2% leads, %3% paced batches, %4% failed port probes", cuts.burns,
                       cuts.leads, paced, cuts.probes);
    return cuts.burns + cuts.leads + paced + cuts.probes;
}

void SymmetricAnswers::sortHeld() {
    for (HeldPings::Held& h : held.takeAll()) {
        EndpointList targets;
        gen::getResponseTargets(h.message.content, targets, true);
        latest.insert_or_assign(h.index, h);
        const auto done = answered.find(h.index);
        const bool hasBlock = std::find(blockPeers.begin(), blockPeers.end(), h.index) != blockPeers.end();
        if (done != answered.end() && done->second.targets == targets &&
            !(hasBlock && done->second.round != measuredRounds)) {
            // A repeat: its answers go where the first went, through mappings that exist, unless
            // they are still primers whose answers come at the next release.
            const bool stillPrimed = std::find(primed.begin(), primed.end(), h.index) != primed.end();
            if (!stillPrimed && !done->second.sent.empty()) {
                gen::Content reply;
                data.stamp(reply, gen::Content::PING_RESP);
                const EndpointList& sent = done->second.sent;
                data.paced(static_cast<int>(sent.size()), [&] { data.messenger.send(reply, sent); });
                data.peers.noteAnswered(h.index, data.clock.now());
            }
            continue;
        }
        if (hasBlock) {
            pending[h.index] = std::move(h);
            continue;
        }
        // A peer with no block this round: its answers take ports that no block expected.
        answered[h.index] = {targets,
                             P2PListener::answerPing(h.message, h.index, h.identifier, data,
                                                     P2PListener::kMaxAnswerTargets),
                             measuredRounds};
        taken = -1;
    }
}

void SymmetricAnswers::answerLatestAtRoundEnd() {
    for (std::size_t block = nextBlock; block < blockPeers.size(); ++block) {
        const int index = blockPeers[block];
        const auto ping = latest.find(index);
        if (pending.count(index) > 0 || halved.count(index) == 0 || ping == latest.end()) {
            continue;
        }
        EndpointList targets;
        gen::getResponseTargets(ping->second.message.content, targets, true);
        const std::set<Endpoint>& before = answeredTo[index];
        if (std::any_of(targets.begin(), targets.end(), [&](const Endpoint& t) { return before.count(t) == 0; })) {
            pending.insert_or_assign(index, ping->second);
        }
    }
}

SymmetricAnswers::BlockTargets SymmetricAnswers::blockTargets(const HeldPings::Held& ping,
                                                              int blockSize) const {
    BlockTargets block;
    const auto before = answeredTo.find(ping.index);
    for (const Endpoint& target : P2PListener::listedTargets(ping.message.content, ping.index,
                                                             static_cast<std::size_t>(blockSize), data)) {
        block.answeredBefore.push_back(before != answeredTo.end() && before->second.count(target) > 0);
    }
    block.firstHalf = isFirstHalf(ping);
    return block;
}

bool SymmetricAnswers::isFirstHalf(const HeldPings::Held& ping) const {
    return firstAnswered.count(ping.index) == 0 && ping.schedulesBefore >= scheduleNumber;
}

void SymmetricAnswers::answerBlock(const BlockSend& send, const HeldPings::Held& ping, int blockSize) {
    const PassLimits::LineUp& at = send.at;
    EndpointList targets;
    gen::getResponseTargets(ping.message.content, targets, true);
    primed.push_back(ping.index);
    if (at.cut) {
        ++cuts.burns;
        Log::debug(data.name, "answerBlock001",
                   "Block %1% for peer %2%: %3% ports to use up, cut to %4% (at most %5% a block, %6% a round, "
                   "%7% a pass)",
                   send.block, ping.identifier, at.wanted, at.burn, PassLimits::burnPerBlock(blockSize),
                   PassLimits::burnPerRound(blockSize), PassLimits::burnPerPass(blockSize));
    }
    const EndpointList lineUp = burnTargets(ping.index, at.burn);
    gen::Content reply;
    const EndpointList candidates =
        P2PListener::prepareAnswer(ping.message, ping.index, ping.identifier, data,
                                   static_cast<std::size_t>(blockSize), true, static_cast<std::size_t>(at.skip), reply);
    // The peer's first ping came after this block was announced. A peer that answers relayed
    // pings at once may have answered the block before it measured its own ports, from ports it
    // never announced: then only a later block meets the announced ones, and only at targets
    // never answered before (planned in send.slots).
    if (isFirstHalf(ping)) {
        halved.insert(ping.index);
    }
    firstAnswered.insert(ping.index);
    std::set<Endpoint>& before = answeredTo[ping.index];
    const std::vector<Slot>& slots = send.slots;
    const EndpointList spare =
        burnTargets(ping.index, static_cast<int>(std::count(slots.begin(), slots.end(), Slot::USE_UP)));

    gen::Content usedUp;
    data.stamp(usedUp, gen::Content::PING_DIRECT);
    // Runs of one kind in send order: the NAT hands out the block's ports in this order.
    std::vector<std::pair<const gen::Content*, EndpointList>> runs{{&usedUp, lineUp}};
    EndpointList sent;
    auto next = spare.begin();
    // The plan was made from the same ping and listing; the checks only keep a slot from reading
    // past what there is (no endpoint to use up towards a peer that may share our network).
    std::size_t filled = 0;
    for (; filled < slots.size() && filled < candidates.size(); ++filled) {
        const std::size_t i = filled;
        const bool answer = slots[i] == Slot::ANSWER;
        if (!answer && next == spare.end()) {
            break;
        }
        const gen::Content* content = answer ? &reply : &usedUp;
        if (runs.back().first != content) {
            runs.push_back({content, {}});
        }
        runs.back().second.push_back(answer ? candidates[i] : *next++);
        if (answer) {
            sent.push_back(candidates[i]);
        }
    }
    // The block's used-up ports and its answers leave in one batch: a pause between them would let
    // other hosts take the block's ports.
    data.paced(kPrimerCopies * static_cast<int>(lineUp.size() + filled), [&] {
        for (const auto& run : runs) {
            data.prime(*run.first, run.second);
        }
    });
    if (taken >= 0) {
        Log::debug(data.name, "answerBlock",
                   "Block %1% for peer %2%: %3% ports gone since port %4%, %5% used up, %6% of the block gone, "
                   "%7% answers",
                   send.block, ping.identifier, taken, publicPort, lineUp.size() + spare.size(), at.skip,
                   sent.size());
        taken += static_cast<int>(lineUp.size() + filled);
    }
    before.insert(sent.begin(), sent.end());
    answered[ping.index] = {targets, std::move(sent), measuredRounds};
}

void SymmetricAnswers::answerPrimed() {
    gen::Content reply;
    data.stamp(reply, gen::Content::PING_RESP);
    for (const int index : primed) {
        const EndpointList& sent = answered[index].sent;
        if (!sent.empty()) {
            data.paced(static_cast<int>(sent.size()), [&] { data.messenger.send(reply, sent); });
            data.peers.noteAnswered(index, data.clock.now());
        }
    }
    primed.clear();
}

int SymmetricAnswers::portsTaken() {
    const auto now = data.clock.now();
    if ((taken >= 0 && now - measuredAt <= util::Intervals::kLatestPortFresh) || !measurePort || probeFailed) {
        return taken;
    }
    try {
        // The probe's request leaves from a socket of its own at a moment between these two slots,
        // so that the burst bound counts it against the batches before and after it.
        data.paced(1, [] {});
        const int port = measurePort();
        data.paced(1, [] {});
        measuredAt = data.clock.now();
        taken = PortPlan::stepsBetween(publicPort, port, data.peers.getTopology().nat.increment);
    } catch (const TARNException& e) {
        // One attempt a round: the rest of the round answers in order.
        probeFailed = true;
        taken = -1;
        ++cuts.probes;
        Log::debug(data.name, "portsTaken", "Could not measure the latest port again: %1%", e.what());
    }
    return taken;
}

EndpointList SymmetricAnswers::burnTargets(int index, int count) {
    const auto peerPublic = data.peers.getListedPublicEndpoint(index);
    EndpointList burn;
    if (count <= 0 || peerPublic.port() == 0 || data.mayShareNetwork(peerPublic.address())) {
        return burn;
    }
    // Below the peer's listed port, where its NAT has handed out ports already: none of the
    // ports the peer announces later can be among them.
    const int range = 65536 - kLowestBurnPort;
    for (int i = 0; i < count; ++i) {
        const int below = (peerPublic.port() - 1 - burnt - i - kLowestBurnPort) % range;
        burn.emplace_back(peerPublic.address(),
                          static_cast<unsigned short>(kLowestBurnPort + (below + range) % range));
    }
    burnt += count;
    burntInRound += count;
    return burn;
}

}  // namespace tarn::client::impl::service::connection
