#include "device/fault_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace oxu::sim::test {
namespace {

using std::chrono::seconds;

// The kinds of step the plan gives before requests, with 0, 1, 2, ... pages
// checked out; asked twice at each count, as a page that fails leaves the
// count where it was.
std::vector<Step::Kind> stepsUpTo(FaultPlan& plan, int pages) {
    std::vector<Step::Kind> kinds;
    for (int ok = 0; ok <= pages; ++ok) {
        kinds.push_back(plan.beforeRequest(ok).kind);
        kinds.push_back(plan.beforeRequest(ok).kind);
    }
    return kinds;
}

TEST(FaultPlan, WithoutFaultsEveryAnswerIsTheHonestOne) {
    FaultPlan plan{Faults{}};
    EXPECT_EQ(plan.afterHeader().kind, Step::Kind::Go);
    EXPECT_TRUE(plan.noiseBeforeRequests().empty());
    EXPECT_FALSE(plan.requestsPageZero());
    EXPECT_EQ(plan.pageOrder(3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(stepsUpTo(plan, 3), std::vector<Step::Kind>(8, Step::Kind::Go));
    EXPECT_EQ(plan.requestShape(false), RequestShape::Whole);
    EXPECT_EQ(plan.requestShape(true), RequestShape::Whole);
    EXPECT_FALSE(plan.retriesBadChecksum(0));
    EXPECT_FALSE(plan.byteTime());
}

TEST(FaultPlan, StopsAndHangsUpOnceAtTheirPage) {
    using K = Step::Kind;
    struct Case {
        const char* name;
        std::function<void(Faults&)> set;
        std::vector<K> steps;  // at 0, 0, 1, 1, 2, 2 pages
        const char* reason;    // of the step that is not Go
    };
    const Case cases[] = {
        {"stop",
         [](Faults& f) { f.stopAfter = 1; },
         {K::Go, K::Go, K::FallSilent, K::Go, K::Go, K::Go},
         "--stop-after 1: fell silent after 1 pages"},
        {"stop and resume",
         [](Faults& f) {
             f.stopAfter = 1;
             f.resumeAfter = seconds(3);
         },
         {K::Go, K::Go, K::Pause, K::Go, K::Go, K::Go},
         "the pause of --stop-after"},
        // The line goes down whatever else was asked for at the same page.
        {"hang up first",
         [](Faults& f) {
             f.hangupAfter = 2;
             f.stopAfter = 2;
         },
         {K::Go, K::Go, K::Go, K::Go, K::HangUp, K::HangUp},
         "--hangup-after 2: dropped the line after 2 pages"},
        {"stop at the start",
         [](Faults& f) { f.stopAfter = 0; },
         {K::FallSilent, K::Go, K::Go, K::Go, K::Go, K::Go},
         "--stop-after 0: fell silent after 0 pages"},
    };
    for (const Case& c : cases) {
        Faults faults;
        c.set(faults);
        FaultPlan plan(faults);
        EXPECT_EQ(stepsUpTo(plan, 2), c.steps) << c.name;
        FaultPlan again(faults);
        for (int ok = 0; ok <= 2; ++ok) {
            const Step step = again.beforeRequest(ok);
            if (step.kind != K::Go) {
                EXPECT_EQ(step.reason, c.reason) << c.name;
                EXPECT_EQ(step.pause, step.kind == K::Pause ? seconds(3) : seconds(0)) << c.name;
            }
        }
    }
}

TEST(FaultPlan, ShapesRetriesPacingAndSilenceFollowTheFaults) {
    Faults faults;
    faults.split = true;
    faults.burst = true;
    faults.retryBadChecksum = true;
    faults.baud = 10000;
    faults.silent = true;
    faults.pageZero = true;
    const FaultPlan plan(faults);
    EXPECT_EQ(plan.requestShape(false), RequestShape::Split);
    EXPECT_EQ(plan.requestShape(true), RequestShape::WithCompletion);
    EXPECT_TRUE(plan.retriesBadChecksum(kMaxRetries - 1));
    EXPECT_FALSE(plan.retriesBadChecksum(kMaxRetries));
    EXPECT_EQ(plan.byteTime(), std::chrono::milliseconds(1));
    EXPECT_EQ(plan.afterHeader().kind, Step::Kind::FallSilent);
    EXPECT_EQ(plan.afterHeader().reason, "--silent: requested no page");
    EXPECT_TRUE(plan.requestsPageZero());
}

TEST(FaultPlan, SilentFirstAwaitsAnotherUpdateOnlyInTheFirstOnes) {
    Faults faults;
    faults.silentFirst = 2;
    const FaultPlan plan(faults);
    EXPECT_EQ(plan.afterHeader(1).kind, Step::Kind::AwaitNextUpdate);
    EXPECT_EQ(plan.afterHeader(2).reason, "--silent-first 2: requested no page in update 2");
    EXPECT_EQ(plan.afterHeader(3).kind, Step::Kind::Go);
}

TEST(FaultPlan, HangsUpMidPageOnlyAfterItsPageCount) {
    Faults faults;
    faults.hangupMidPage = 2;
    const FaultPlan plan(faults);
    for (int ok : {0, 1, 3})
        EXPECT_EQ(plan.duringFrame(ok).kind, Step::Kind::Go) << ok;
    EXPECT_EQ(plan.duringFrame(2).kind, Step::Kind::HangUp);
    EXPECT_EQ(plan.duringFrame(2).reason.rfind("--hangup-mid-page 2: ", 0), 0u);
    EXPECT_EQ(FaultPlan(Faults{}).duringFrame(0).kind, Step::Kind::Go);
}

TEST(FaultPlan, TheSeedDecidesTheGarbageAndTheShuffle) {
    Faults faults;
    faults.seed = 7;
    faults.garbage = 300;
    faults.order = PageOrder::Random;
    faults.extraPages = 2;
    FaultPlan first(faults);
    FaultPlan second(faults);
    EXPECT_EQ(first.seed(), 7u);
    EXPECT_EQ(first.noiseBeforeRequests(), second.noiseBeforeRequests());
    const std::vector<int> order = first.pageOrder(10);
    EXPECT_EQ(order, second.pageOrder(10));
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted.front(), 1);
    EXPECT_EQ(sorted.back(), 12);
    EXPECT_EQ(sorted.size(), 12u);
}

TEST(FaultPlan, ExtraPagesStopAtTheLastPageNumber) {
    Faults faults;
    faults.extraPages = 5;
    const std::vector<int> order = FaultPlan(faults).pageOrder(253);
    EXPECT_EQ(order.size(), 255u);
    EXPECT_EQ(order.back(), 255);
}

}  // namespace
}  // namespace oxu::sim::test
