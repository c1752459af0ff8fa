// Core starts over a link that loses one acknowledgement or one request of
// the start writes, with two attempts per fabric write: the frame still
// completes, the core runs exactly once and the board is not reset. With one
// attempt, the lost acknowledgement ends the start in exception_reset.
#include "pipeline/process_worker.hpp"
#include "pipeline/process_worker_serial.hpp"

#include "tests/support/link_fixture.hpp"
#include "tests/support/reset_message.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

std::shared_ptr<Core> core_with_attempts(int attempts) {
    auto core = std::make_shared<Core>();
    core->limits.start_attempts = attempts;
    core->limits.start_ack = 200ms;
    return core;
}

LinkLimits link_with_attempts(int attempts) {
    LinkLimits limits = short_limits();
    limits.fabric_write_ack_attempts = attempts;
    return limits;
}

class StartRetryTest : public LinkTest {
protected:
    // A board whose runs end at once and which loses what `settings` say.
    void start_losing(EmulatorSettings settings, int attempts) {
        settings.model = "zero";
        settings.core_us = 0;
        start(std::move(settings), 1000000, link_with_attempts(attempts));
    }
    uint64_t requests_of(const std::string& kind) {
        const auto counters = board().counters();
        const auto found = counters.requests.find(kind);
        return found == counters.requests.end() ? 0 : found->second;
    }
    void expect_one_clean_run() {
        const auto counters = board().counters();
        EXPECT_EQ(counters.runs_started, 1u);
        EXPECT_EQ(counters.starts_refused, 0u);
        EXPECT_EQ(counters.protocol_errors, 0u);
        EXPECT_EQ(counters.resets, 0u);
    }
};

}  // namespace

TEST_F(StartRetryTest, EachLostStartWriteIsRecoveredWithOneRunOnly) {
    struct Case {
        const char* what;
        bool reply;  // the acknowledgement is lost, else the request
        const char* kind;
        uint64_t n;
    };
    // Init is not a write-ack; the buffer write is the first, the arming
    // write the second, the pair that begins the run the third (and the
    // first "start").
    const Case cases[] = {
        {"buffer write's acknowledgement", true, "write-ack", 1},
        {"arming write's acknowledgement", true, "write-ack", 2},
        {"run-starting write's acknowledgement", true, "start", 1},
        {"run-starting write itself", false, "write-ack", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatorSettings settings;
        if (c.reply)
            settings.nth_reply.push_back({c.kind, c.n, -1});
        else
            settings.drop_nth.push_back({c.kind, c.n});
        start_losing(settings, 2);
        ProcessWorker worker(lb.link, core_with_attempts(2));
        worker.pingpong = 1;
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(worker.start_core());
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(worker.wait_core_done());
        EXPECT_EQ(worker.get_framecount(), 1);
        EXPECT_EQ(board().read_register(CORE_REGISTER_BUFFER), 1u);
        expect_one_clean_run();
        // The next frame starts as usual.
        worker.pingpong = 0;
        EXPECT_NO_THROW(worker.start_core());
        EXPECT_TRUE(worker.wait_core_done());
        EXPECT_EQ(board().counters().runs_started, 2u);
        EXPECT_EQ(board().counters().protocol_errors, 0u);
    }
}

TEST_F(StartRetryTest, SerialStartWithALostAcknowledgementRunsOnce) {
    EmulatorSettings settings;
    settings.nth_reply.push_back({"start", 1, -1});
    start_losing(settings, 2);
    serial::ProcessWorker worker(lb.link, core_with_attempts(2));
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(worker.start_core());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(worker.wait_core_done());
    expect_one_clean_run();
}

TEST_F(StartRetryTest, StartThatIsNeverAcknowledgedOrCarriedOutRaisesReset) {
    EmulatorSettings settings;
    settings.drop_nth = {{"write-ack", 3}, {"write-ack", 4}};
    start_losing(settings, 2);
    ProcessWorker worker(lb.link, core_with_attempts(2));
    testing::internal::CaptureStderr();
    EXPECT_EQ(reset_message([&] { worker.start_core(); }),
              "exception_reset in processing node @start_core: core start: no acknowledgement after 2 attempts");
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_NE(lines.find("attempt 2 of 2"), std::string::npos) << lines;
    EXPECT_TRUE(worker.get_core_done());
    EXPECT_FALSE(worker.get_core_started());
    EXPECT_EQ(board().counters().runs_started, 0u);
}

TEST_F(StartRetryTest, WithOneAttemptALostStartAcknowledgementRaisesReset) {
    EmulatorSettings settings;
    settings.nth_reply.push_back({"start", 1, -1});
    start_losing(settings, 1);
    ProcessWorker worker(lb.link, core_with_attempts(1));
    testing::internal::CaptureStderr();
    EXPECT_EQ(reset_message([&] { worker.start_core(); }),
              "exception_reset in processing node @start_core: "
              "udp_write_ack_fabric: Exceeded maximum number of retries");
    testing::internal::GetCapturedStderr();
    // The board ran the frame; only one start went out.
    EXPECT_EQ(board().counters().runs_started, 1u);
    EXPECT_EQ(requests_of("write-ack:fabric"), 3u);
}
