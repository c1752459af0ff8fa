#include "pipeline/dynamic_wait.hpp"
#include "pipeline/prepared_frame.hpp"
#include "pipeline/worker.hpp"
#include "tests/support/poll.hpp"

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
    ASSERT_TRUE(poll_until([&] { return stream.passes.load() >= at_least; }));
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

