#include "tarn/client/impl/service/connection/DiscoveryPlan.h"

namespace tarn::client::impl::service::connection {

namespace {

using Test = DiscoveryPlan::Test;
using Status = DiscoveryPlan::Status;
using Progress = DiscoveryPlan::Progress;

bool ended(Status status) {
    return status == Status::ANSWERED || status == Status::SILENT;
}

bool translated(const Progress& progress) {
    return progress.mapped1 != progress.altLocal;
}

// Whether the mapping towards S4 differs from that towards S1; meaningful once test 2 ended.
bool mappingChanges(const Progress& progress) {
    return progress.mapped1 != progress.mapped4;
}

// The first test of the documented order still to send, given what the earlier ones found.
bool nextDocumented(const Progress& progress, Test& next) {
    for (Test test : {Test::MAPPING_S1, Test::MAPPING_S4, Test::PUBLIC, Test::CHANGE_BOTH}) {
        if (progress[test] == Status::NOT_SENT) {
            next = test;
            return test == Test::MAPPING_S1 || translated(progress);
        }
    }
    if (progress[Test::CHANGE_BOTH] == Status::SILENT && !mappingChanges(progress) &&
        progress[Test::CHANGE_PORT] == Status::NOT_SENT) {
        next = Test::CHANGE_PORT;
        return true;
    }
    next = Test::PORT_STEP;
    return DiscoveryPlan::natTestsDone(progress) && DiscoveryPlan::classify(progress) == NatType::SYMMETRIC &&
           progress[Test::PORT_STEP] == Status::NOT_SENT;
}

}  // namespace

DiscoveryPlan::DiscoveryPlan(Order order) : order(order) {}

std::vector<DiscoveryPlan::Probe> DiscoveryPlan::nextTests(const Progress& progress) const {
    std::vector<Probe> probes;
    if (order == Order::DOCUMENTED) {
        Test next;
        for (Status status : progress.status) {
            if (status == Status::RUNNING) {
                return probes;
            }
        }
        if (nextDocumented(progress, next)) {
            probes.push_back(probe(next));
        }
        return probes;
    }
    // Overlapped: tests 1 and 2 map from the alternative socket, so that the primary one sends
    // to S1 alone until both change tests ended; its filter then still holds what the documented
    // order tests. Their answers come from S1, S4 (alternative) and S1, S4, S2 (primary).
    if (progress[Test::MAPPING_S1] == Status::NOT_SENT) {
        for (Test test :
             {Test::MAPPING_S1, Test::MAPPING_S4, Test::PUBLIC, Test::CHANGE_BOTH, Test::CHANGE_PORT}) {
            probes.push_back(probe(test));
        }
        return probes;
    }
    // The port step asks S2 and S4 from the primary socket: after the change tests, whose answers
    // come from there, and whose filter its requests would open.
    if (classify(progress) == NatType::SYMMETRIC && progress[Test::PORT_STEP] == Status::NOT_SENT &&
        progress[Test::CHANGE_BOTH] != Status::RUNNING && progress[Test::CHANGE_PORT] != Status::RUNNING &&
        natTestsDone(progress)) {
        probes.push_back(probe(Test::PORT_STEP));
    }
    return probes;
}

NatType DiscoveryPlan::classify(const Progress& progress) {
    if (!ended(progress[Test::MAPPING_S1])) {
        return NatType::UNKNOWN;
    }
    if (!translated(progress)) {
        return NatType::NONE;
    }
    if (!ended(progress[Test::MAPPING_S4])) {
        return NatType::UNKNOWN;
    }
    // A changing mapping is symmetric whatever test 4 finds.
    if (mappingChanges(progress)) {
        return NatType::SYMMETRIC;
    }
    switch (progress[Test::CHANGE_BOTH]) {
        case Status::ANSWERED:
            return NatType::FULL_CONE;
        case Status::SILENT:
            break;
        default:
            return NatType::UNKNOWN;
    }
    switch (progress[Test::CHANGE_PORT]) {
        case Status::ANSWERED:
            return NatType::RESTRICTED_CONE;
        case Status::SILENT:
            return NatType::PORT_RESTRICTED_CONE;
        default:
            return NatType::UNKNOWN;
    }
}

bool DiscoveryPlan::natTestsDone(const Progress& progress) {
    const NatType type = classify(progress);
    if (type == NatType::NONE) {
        return true;
    }
    // The public endpoint is test 3's, and the measurement reports test 4 behind every NAT.
    return type != NatType::UNKNOWN && ended(progress[Test::PUBLIC]) && ended(progress[Test::CHANGE_BOTH]);
}

bool DiscoveryPlan::done(const Progress& progress) {
    return natTestsDone(progress) &&
           (classify(progress) != NatType::SYMMETRIC || ended(progress[Test::PORT_STEP]));
}

NatMeasurement DiscoveryPlan::measurement(const Progress& progress) {
    NatMeasurement measured;
    const auto outcome = [](Status status) {
        return status == Status::ANSWERED ? TestOutcome::ANSWERED
               : status == Status::SILENT ? TestOutcome::SILENT
                                          : TestOutcome::NOT_RUN;
    };
    measured.translated = ended(progress[Test::MAPPING_S1]) && translated(progress);
    if (!measured.translated) {
        return measured;
    }
    measured.mappingChanged = ended(progress[Test::MAPPING_S4]) && mappingChanges(progress);
    measured.changeBoth = outcome(progress[Test::CHANGE_BOTH]);
    if (measured.changeBoth == TestOutcome::SILENT && !measured.mappingChanged) {
        measured.changePort = outcome(progress[Test::CHANGE_PORT]);
    }
    return measured;
}

DiscoveryPlan::Probe DiscoveryPlan::probe(Test test) {
    switch (test) {
        case Test::MAPPING_S1:
            return {test, Socket::ALTERNATIVE, {0}, Change::NONE, 0};
        case Test::MAPPING_S4:
            return {test, Socket::ALTERNATIVE, {3}, Change::NONE, 3};
        case Test::PUBLIC:
            return {test, Socket::PRIMARY, {0}, Change::NONE, 0};
        case Test::CHANGE_BOTH:
            return {test, Socket::PRIMARY, {0}, Change::BOTH, 3};
        case Test::CHANGE_PORT:
            return {test, Socket::PRIMARY, {0}, Change::PORT, 1};
        case Test::PORT_STEP:
            break;
    }
    return {Test::PORT_STEP, Socket::PRIMARY, {0, 1, 2, 3}, Change::NONE, -1};
}

}  // namespace tarn::client::impl::service::connection
