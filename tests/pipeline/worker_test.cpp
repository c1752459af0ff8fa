#include "pipeline/dynamic_wait.hpp"
#include "pipeline/prepared_frame.hpp"
#include "pipeline/worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
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

TEST(Framebuffer, SetWithTheSameFrameKeepsOneOwnership) {
    auto frame = std::make_shared<cv::Mat>(2, 2, CV_8UC3);
    auto info = std::make_shared<ImageInfo>();
    Framebuffer slot;
    EXPECT_EQ(slot.get_frame(), nullptr);
    EXPECT_EQ(slot.get_frame_info(), nullptr);
    slot.set(frame, 7, info);
    slot.set(slot.get_frame(), 8, slot.get_frame_info());
    EXPECT_EQ(frame.use_count(), 2);
    EXPECT_EQ(info.use_count(), 2);
    EXPECT_EQ(slot.get_frame_id(), 8u);
    EXPECT_EQ(slot.get_frame_info(), info);

    // Replacing the frame releases the old one.
    slot.set(std::make_shared<cv::Mat>(), 9, nullptr);
    EXPECT_EQ(frame.use_count(), 1);
    EXPECT_EQ(info.use_count(), 1);
}

namespace {

// A stream with a loop that runs until stopped and counts its passes.
class CountingStream : public Stream {
public:
    void work() override {
        stopped.store(false, std::memory_order_relaxed);
        thread = std::thread(&CountingStream::loop, this);
    }
    void stop() override { stop_and_join(); }
    CallbackMap get_callbacks() override { return {}; }
    bool grab(std::shared_ptr<cv::Mat>&, uint64_t&) override { return false; }
    bool okay(std::string& message) override {
        message.clear();
        return true;
    }
    void reset() override {}
    std::string get_id() override { return "counting"; }

    bool is_stopped() const { return stopped.load(); }
    bool has_thread() const { return thread.joinable(); }

    std::atomic<uint64_t> passes{0};

private:
    void loop() {
        while (!stopped.load(std::memory_order_relaxed)) {
            passes.fetch_add(1);
            std::this_thread::sleep_for(100us);
        }
    }
};

void wait_for_passes(const CountingStream& stream, uint64_t at_least) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (stream.passes.load() < at_least && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(stream.passes.load(), at_least);
}

}  // namespace

TEST(ThreadWorker, StopOnANeverStartedWorkerAndStopTwiceAreHarmless) {
    CountingStream stream;
    EXPECT_TRUE(stream.is_stopped());
    stream.stop();
    EXPECT_TRUE(stream.is_stopped());
    EXPECT_FALSE(stream.has_thread());

    stream.work();
    EXPECT_FALSE(stream.is_stopped());
    wait_for_passes(stream, 1);
    stream.stop();
    stream.stop();
    EXPECT_TRUE(stream.is_stopped());
    EXPECT_FALSE(stream.has_thread());

    // It can be started again after a stop.
    const uint64_t before = stream.passes.load();
    stream.work();
    wait_for_passes(stream, before + 1);
    stream.stop();
    EXPECT_FALSE(stream.has_thread());
}

TEST(Stream, HoldsExactlyOneWorker) {
    CountingStream stream;
    Source& source = stream;
    ThreadWorker& thread_worker = stream;
    EXPECT_EQ(static_cast<Worker*>(&source), static_cast<Worker*>(&thread_worker));
    source.duration_us = 5;
    EXPECT_EQ(thread_worker.duration_us, 5);
    EXPECT_EQ(source.last_frame_id, 0u);

    // Each call yields a map of its own.
    CallbackMap first = stream.get_callbacks();
    first[1] = [] {};
    EXPECT_TRUE(stream.get_callbacks().empty());
}
