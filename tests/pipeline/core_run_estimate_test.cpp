#include "pipeline/core_run_estimate.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::nanoseconds SLOW = 500us;

}  // namespace

// Catches an estimate taken from the latest or the mean run instead of the
// shortest, and a window that forgets too early or never.
TEST(CoreRunEstimate, ExpectsTheShortestOfTheLastEightRuns) {
    CoreRunEstimate estimate;
    for (const auto run : {40ms, 38ms, 41ms, 39ms}) estimate.learn(run);
    EXPECT_EQ(estimate.expected(), 38ms);
    EXPECT_EQ(estimate.first_read(), 38ms - CoreRunEstimate::MARGIN);

    // The 38 ms run is the second of the window: five longer ones keep it,
    // the sixth pushes it out, and the 39 ms run goes two runs later.
    for (int run = 0; run < 5; ++run) estimate.learn(45ms);
    EXPECT_EQ(estimate.expected(), 38ms);
    estimate.learn(45ms);
    EXPECT_EQ(estimate.expected(), 39ms);
    for (int run = 0; run < 2; ++run) estimate.learn(45ms);
    EXPECT_EQ(estimate.expected(), 45ms);
}

// Catches a far shorter run that does not lower the estimate at once (each
// later run would be seen late by the difference), a far longer one that
// raises it (the next normal run would be overslept), and a first read
// before the run's start for a run shorter than the margin.
TEST(CoreRunEstimate, AFarShorterRunCountsAtOnceAFarLongerOneDoesNot) {
    CoreRunEstimate estimate;
    for (int run = 0; run < 8; ++run) estimate.learn(38ms);
    estimate.learn(200ms);
    EXPECT_EQ(estimate.expected(), 38ms);
    estimate.learn(5ms);
    EXPECT_EQ(estimate.expected(), 5ms);
    EXPECT_EQ(estimate.first_read(), 5ms - CoreRunEstimate::MARGIN);
    estimate.learn(CoreRunEstimate::MARGIN / 2);
    EXPECT_EQ(estimate.first_read(), 0ns);
}

// Catches close reads that never fall back to the slow pace (a run that
// overruns would cost thousands of reads), close reads with nothing learned
// (the poll wait must keep its pace), and a clear that leaves old runs in
// the window.
TEST(CoreRunEstimate, ReadsCloselyOnlyAroundTheExpectedEnd) {
    CoreRunEstimate estimate;
    EXPECT_FALSE(estimate.known());
    EXPECT_EQ(estimate.interval(0ns, SLOW), SLOW);

    estimate.learn(10ms);
    EXPECT_EQ(estimate.interval(estimate.first_read(), SLOW), CoreRunEstimate::CLOSE_INTERVAL);
    EXPECT_EQ(estimate.interval(10ms + CoreRunEstimate::CLOSE_SPAN - 1ns, SLOW), CoreRunEstimate::CLOSE_INTERVAL);
    EXPECT_EQ(estimate.interval(10ms + CoreRunEstimate::CLOSE_SPAN, SLOW), SLOW);

    // After a reset of the board, nothing learned before counts.
    estimate.clear();
    EXPECT_EQ(estimate.first_read(), 0ns);
    EXPECT_EQ(estimate.interval(10ms, SLOW), SLOW);
    estimate.learn(30ms);
    EXPECT_EQ(estimate.expected(), 30ms);
}
