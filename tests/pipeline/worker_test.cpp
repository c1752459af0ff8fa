#include "pipeline/dynamic_wait.hpp"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

TEST(DynamicWait, GrowsAboveTheBandShrinksBelowItAndNeverGoesNegative) {
    DynamicWait wait(1ms, 2ms, 0ns);
    wait.update_wait(3ms);
    EXPECT_EQ(wait.get_wait(), 1500us);
    wait.update_wait(500us);
    EXPECT_EQ(wait.get_wait(), 500us);
    wait.update_wait(500us);
    EXPECT_EQ(wait.get_wait(), 0ns);
    wait.update_wait(1500us);
    EXPECT_EQ(wait.get_wait(), 0ns);
    // The band limits themselves change nothing.
    wait.update_wait(1ms);
    wait.update_wait(2ms);
    EXPECT_EQ(wait.get_wait(), 0ns);
}

TEST(DynamicWait, HalvingRoundsTowardZeroInNanoseconds) {
    DynamicWait wait(1ns, 4ns, 10ns);
    wait.update_wait(8ns);  // grows by 8 - (5 / 2 = 2)
    EXPECT_EQ(wait.get_wait(), 16ns);
    DynamicWait other(2ns, 5ns, 10ns);
    other.update_wait(1ns);  // shrinks by 5 / 2 = 2
    EXPECT_EQ(other.get_wait(), 8ns);
}

TEST(DynamicWait, WaitSleepsAtLeastTheCurrentWait) {
    DynamicWait wait(1ms, 2ms, 20ms);
    const auto start = std::chrono::steady_clock::now();
    wait.wait();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}
