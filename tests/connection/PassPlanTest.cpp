#include "tarn/client/impl/service/connection/PassPlan.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using tarn::client::NatType;
using tarn::client::impl::service::connection::PassPlan;
using ms = std::chrono::milliseconds;

// One step as a line: "+phase" / "-phase" for START / END, else the round's phase, time-out and
// every flag that is set.
std::string text(const PassPlan::Step& step) {
    const char* const phases[] = {"private", "public", "sym"};
    const std::string phase = phases[static_cast<int>(step.phase)];
    if (step.kind != PassPlan::Step::Kind::ROUND) {
        return (step.kind == PassPlan::Step::Kind::START ? "+" : "-") + phase;
    }
    const PassPlan::Round& r = step.round;
    std::string line = phase + " " + std::to_string(r.timeout.count()) + "ms";
    line += r.pingsPrivate ? " private" : "";
    line += r.pingsPublic ? " public" : "";
    line += r.measure == PassPlan::Measure::FIRST ? " measure" : "";
    line += r.measure == PassPlan::Measure::AGAIN ? " measure-again" : "";
    line += r.doublingWait ? " doubling" : "";
    line += r.primesPublic ? " primes" : "";
    line += r.realAfter.count() > 0 ? "/real@" + std::to_string(r.realAfter.count()) : "";
    line += r.closesPrivateWindow ? " closes" : "";
    line += r.givesUpBlocks ? " gives-up" : "";
    line += r.roundLine ? " line" : "";
    return line;
}

TEST(PassPlan, StepsOfBothOrders) {
    struct Row {
        const char* what;
        bool overlap;
        NatType own;
        PassPlan::Settings settings;
        std::vector<std::string> steps;
    };
    const std::string docPrivate = "private 500ms private gives-up line";
    const std::string cone = "public 500ms public gives-up line";
    const std::string again = "sym 400ms public measure-again gives-up line";
    const Row rows[] = {
        {"documented, cone", false, NatType::PORT_RESTRICTED_CONE, {ms(500), ms(500), 2},
         {"+private", docPrivate, "-private", "+public", cone, cone, cone, "-public"}},
        {"documented, no public round", false, NatType::FULL_CONE, {ms(500), ms(500), -1},
         {"+private", docPrivate, "-private", "+public", "-public"}},
        {"documented, symmetric: every public round measures", false, NatType::SYMMETRIC,
         {ms(500), ms(400), 2},
         {"+private", docPrivate, "-private", "+sym", "sym 400ms public measure gives-up line", again, again,
          "-sym"}},
        {"overlapped, cone", true, NatType::RESTRICTED_CONE, {ms(500), ms(500), 2},
         {"+private", "+public", "public 500ms private public doubling primes closes", "-private", cone, cone,
          cone, "-public"}},
        {"overlapped, symmetric: real pings a quarter round late, the round after the private window keeps "
         "its ports, later rounds measure again",
         true, NatType::SYMMETRIC, {ms(300), ms(400), 2},
         {"+private", "+sym", "sym 300ms private public measure doubling primes/real@100 closes", "-private",
          "sym 400ms public gives-up line", again, again, "-sym"}},
        {"overlapped, the first round is the last", true, NatType::SYMMETRIC, {ms(300), ms(400), -1},
         {"+private", "+sym", "sym 300ms private public measure doubling primes/real@100 closes gives-up",
          "-private", "-sym"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> steps;
        for (const PassPlan::Step& step : PassPlan::rounds(row.overlap, row.own, row.settings)) {
            steps.push_back(text(step));
        }
        EXPECT_THAT(steps, ::testing::ElementsAreArray(row.steps));
    }
}

}  // namespace
