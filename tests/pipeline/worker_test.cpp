#include "pipeline/worker.hpp"

#include <gtest/gtest.h>

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
    const auto start = std::chrono::steady_clock::now();
    wait.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(Framebuffer, SetWithTheSameFrameKeepsOneOwnership) {
    auto frame = std::make_shared<cv::Mat>(2, 2, CV_8UC3);
    auto info = std::make_shared<ImageInfo>();
    Framebuffer slot;
    slot.set(frame, 7, info);
    slot.set(slot.get_frame(), 8, slot.get_frame_info());
    EXPECT_EQ(frame.use_count(), 2);
    EXPECT_EQ(slot.get_frame_id(), 8u);
    EXPECT_EQ(slot.get_frame_info(), info);
}
