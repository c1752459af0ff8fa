#include "pipeline/process_worker.hpp"
#include "pipeline/process_worker_dummy.hpp"
#include "tests/support/fatal.hpp"

#include "tests/support/link_fixture.hpp"

#include "tests/support/reset_message.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

EmulatorSettings core_settings(int64_t core_us) {
    EmulatorSettings settings;
    settings.model = "zero";
    settings.core_us = core_us;
    return settings;
}

uint64_t requests(const BoardEmulator& board, const std::string& kind) {
    const auto counters = board.counters();
    const auto found = counters.requests.find(kind);
    return found == counters.requests.end() ? 0 : found->second;
}

// The real link, except that its first `busy_reads` reads of the status
// register report a running network (3) whatever the board answered.
class BusyStatusLink : public UDPInterfaceEthernet {
public:
    using UDPInterfaceEthernet::UDPInterfaceEthernet;
    int busy_reads = 1;
    uint32_t udp_read_fabric(uint32_t address) override {
        const uint32_t value = UDPInterfaceEthernet::udp_read_fabric(address);
        if (address != CORE_REGISTER_STATUS || busy_reads == 0) return value;
        --busy_reads;
        return 3;
    }
};

class ProcessWorkerTest : public LinkTest {
protected:
    void start_board(EmulatorSettings settings) {
        start(std::move(settings));
        worker = std::make_shared<ProcessWorker>(lb.link, std::make_shared<Core>());
    }
    void expect_idle() {
        EXPECT_TRUE(worker->get_core_done());
        EXPECT_FALSE(worker->get_core_started());
    }

    std::shared_ptr<ProcessWorker> worker;
};

}  // namespace

TEST_F(ProcessWorkerTest, CoreDoneAtTheFirstPoll) {
    start_board(core_settings(0));
    worker->pingpong = 1;
    worker->work();
    EXPECT_TRUE(worker->get_core_started());
    EXPECT_FALSE(worker->get_core_done());
    EXPECT_EQ(board().read_register(0x0C), 1u);
    ASSERT_TRUE(poll_until([&] { return board().counters().runs_finished == 1; }));

    const uint64_t reads_before = requests(board(), "read:fabric");
    EXPECT_TRUE(worker->wait_core_done());
    EXPECT_FALSE(worker->get_waited());
    EXPECT_EQ(requests(board(), "read:fabric"), reads_before + 1);
    expect_idle();
    EXPECT_EQ(worker->get_framecount(), 1);
    EXPECT_GT(worker->get_slack(), 0ns);
    EXPECT_EQ(worker->elapsed(), worker->get_slack());
    EXPECT_GE(worker->duration_us, 0);
    // One run, started by the pair of start writes, on the selected buffer.
    EXPECT_EQ(board().counters().runs_started, 1u);
    EXPECT_EQ(board().counters().protocol_errors, 0u);
}

// The same stage under either completion wait.
class ProcessWorkerWaitTest : public ProcessWorkerTest, public testing::WithParamInterface<CoreWait> {
protected:
    void start_board(EmulatorSettings settings, std::chrono::nanoseconds completion = CORE_COMPLETION_LIMIT) {
        start(std::move(settings));
        CoreLimits limits;
        limits.completion = completion;
        limits.wait = GetParam();
        worker = std::make_shared<ProcessWorker>(lb.link, std::make_shared<Core>(), limits);
    }
    bool adaptive() const { return GetParam() == CoreWait::adaptive; }
};

INSTANTIATE_TEST_SUITE_P(Waits, ProcessWorkerWaitTest, testing::Values(CoreWait::poll, CoreWait::adaptive),
                         [](const testing::TestParamInfo<CoreWait>& info) {
                             return info.param == CoreWait::poll ? "poll" : "adaptive";
                         });

// The first run's start is acknowledged 200 ms late, so that the adaptive
// wait learns it as a run of about 50 ms: the second run, five times as
// long, must still be seen, and without close reads all the way to its end
// (catches a wait that gives up or reads at the close pace until the end).
TEST_P(ProcessWorkerWaitTest, CoreDoneAfterSomePolls) {
    // Long enough that the first poll comes before the end even when the
    // start writes are slow on a busy machine.
    EmulatorSettings settings = core_settings(250000);
    settings.nth_reply = {{"start", 1, 200}};
    start_board(settings);
    for (uint64_t run = 0; run < 2; ++run) {
        worker->pingpong = run % 2;
        const auto before = Clock::now();
        worker->start_core();
        const uint64_t reads_before = requests(board(), "read:fabric");
        const auto wait_began = Clock::now();
        EXPECT_TRUE(worker->wait_core_done());
        const auto waited_for = Clock::now() - wait_began;
        EXPECT_TRUE(worker->get_waited());
        expect_idle();
        // The host cannot see the core finish before its run time.
        EXPECT_GE(worker->duration_us, 250000);
        EXPECT_GE(Clock::now() - before, 250ms);
        EXPECT_LE(worker->get_slack(), Clock::now() - before);
        // Reads come at most once a poll interval, but for those close to
        // the expected end.
        const int64_t close_reads = (CoreRunEstimate::MARGIN + CoreRunEstimate::CLOSE_SPAN) /
                                    CoreRunEstimate::CLOSE_INTERVAL + 1;
        EXPECT_LE(requests(board(), "read:fabric") - reads_before,
                  uint64_t(waited_for / ProcessWorker::POLL_INTERVAL + close_reads + 1));
        if (run == 0) {
            EXPECT_EQ(worker->run_estimate().known(), adaptive());
            if (adaptive()) {
                EXPECT_LT(worker->run_estimate().expected(), 150ms);
            }
        }
    }
    EXPECT_EQ(worker->get_framecount(), 2);
    EXPECT_EQ(board().counters().runs_finished, 2u);
    EXPECT_EQ(board().counters().protocol_errors, 0u);
    EXPECT_EQ(requests(board(), "write-ack:fabric"), 6u);
}

// The second run never finishes: under either wait it is given up after the
// completion limit with the same error, and the adaptive wait forgets the
// first run (catches an adaptive sleep or close reads that pass the limit by).
TEST_P(ProcessWorkerWaitTest, CoreThatNeverFinishesRaisesResetAfterTheCompletionLimit) {
    EmulatorSettings settings = core_settings(20000);
    settings.stall_from = 2;
    settings.boot_ms = 0;
    start_board(settings, 100ms);
    worker->start_core();
    EXPECT_TRUE(worker->wait_core_done());
    EXPECT_EQ(worker->run_estimate().known(), adaptive());
    worker->start_core();
    const auto before = Clock::now();
    EXPECT_EQ(reset_message([&] { worker->wait_core_done(); }),
              "Processing mode reset exception, timeout wait core done, framecount = 2");
    EXPECT_GE(Clock::now() - before, 100ms);
    expect_idle();
    EXPECT_EQ(worker->get_framecount(), 2);
    EXPECT_FALSE(worker->run_estimate().known());

    // After the board reset the next start is accepted without a status check
    // (the board itself refuses a start while the stalled run is in progress).
    ASSERT_EQ(link().udp_reset(), 1);
    ASSERT_TRUE(poll_until([&] { return board().counters().resets == 1; }));
    worker->reset();
    const uint64_t reads_before = requests(board(), "read:fabric");
    EXPECT_NO_THROW(worker->start_core());
    EXPECT_EQ(requests(board(), "read:fabric"), reads_before);
}

TEST_F(ProcessWorkerTest, BusyStatusBeforeTheFirstRunRaisesResetWithoutWriting) {
    EmulatorSettings settings = core_settings(0);
    settings.status = 3;
    start_board(settings);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reset_message([&] { worker->start_core(); }),
              "Processing mode reset exception, @start core");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "FPGA indicates network is not idle. 0x04  = 0x00000003\n");
    EXPECT_EQ(requests(board(), "read:fabric"), 2u);
    EXPECT_EQ(requests(board(), "write-ack:fabric"), 0u);
    EXPECT_EQ(requests(board(), "write:fabric"), 0u);
    EXPECT_EQ(board().counters().runs_started, 0u);
    expect_idle();
}

// The first read decides: a board that reports idle again at the second read
// is not trusted, and the line shows that second value.
TEST_F(ProcessWorkerTest, BusyFirstStatusReadRaisesResetEvenWhenTheSecondIsIdle) {
    start_board(core_settings(0));
    auto link = std::make_shared<BusyStatusLink>(8192, 64, 4, 8, false);
    link->init("127.0.0.1", board().port(), 1000000);
    ProcessWorker fresh(link, std::make_shared<Core>());
    testing::internal::CaptureStderr();
    EXPECT_THROW(fresh.start_core(), exception_reset);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "FPGA indicates network is not idle. 0x04  = 0x00000007\n");
    EXPECT_EQ(requests(board(), "write-ack:fabric"), 0u);
    EXPECT_EQ(board().counters().runs_started, 0u);
}

TEST_F(ProcessWorkerTest, StatusIsCheckedBeforeTheFirstRunOnly) {
    EmulatorSettings settings = core_settings(0);
    settings.status = 0xABCDEF12;
    settings.status_from_run = 2;
    start_board(settings);
    worker->start_core();
    EXPECT_TRUE(worker->wait_core_done());
    // The status register now reads the set value, but the second start
    // does not look at it.
    EXPECT_EQ(board().read_register(0x10), 0xABCDEF12u);
    EXPECT_NO_THROW(worker->start_core());
    EXPECT_TRUE(worker->wait_core_done());
    EXPECT_EQ(board().counters().runs_finished, 2u);

    // A new stage checks again and prints the value in lower-case hex.
    auto fresh = std::make_shared<ProcessWorker>(lb.link, std::make_shared<Core>());
    testing::internal::CaptureStderr();
    EXPECT_THROW(fresh->start_core(), exception_reset);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "FPGA indicates network is not idle. 0x04  = 0xabcdef12\n");
}

TEST_F(ProcessWorkerTest, LostStartAcknowledgementRaisesReset) {
    EmulatorSettings settings = core_settings(0);
    settings.drop_nth = {{"write-ack", 2}};
    start_board(settings);
    CoreLimits limits;
    limits.start_ack = 250ms;
    worker = std::make_shared<ProcessWorker>(lb.link, std::make_shared<Core>(), limits);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reset_message([&] { worker->start_core(); }),
              "exception_reset in processing node @start_core: "
              "udp_write_ack_fabric: Exceeded maximum number of retries");
    testing::internal::GetCapturedStderr();
    // The run was never recorded as started, so the next start is accepted.
    expect_idle();
    EXPECT_NO_THROW(worker->start_core());
    EXPECT_TRUE(worker->wait_core_done());
}

// A board that stops answering, at the status check or while the run is
// awaited: the link's read attempts run out and the stage turns that into
// exception_reset, idle again.
TEST_F(ProcessWorkerTest, SilentBoardRaisesReset) {
    LinkLimits limits = short_limits();
    limits.read_attempts = 2;
    for (const bool while_waiting : {false, true}) {
        EmulatorSettings settings = core_settings(0);
        // init only, or init, the status read and the three start writes
        settings.silent_after = while_waiting ? 1 + 4 : 1;
        start(settings, 1000000, limits);
        worker = std::make_shared<ProcessWorker>(lb.link, std::make_shared<Core>());
        if (while_waiting) worker->start_core();
        testing::internal::CaptureStderr();
        const std::string message = while_waiting ? reset_message([&] { worker->wait_core_done(); })
                                                  : reset_message([&] { worker->start_core(); });
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(message, std::string("exception_reset in processing node ") +
                               (while_waiting ? "@wait_core_done" : "@start_core") +
                               ": udp_read_fabric: Exceeded maximum number of retries");
        expect_idle();
    }
}

TEST_F(ProcessWorkerTest, StartingTwiceEndsTheProgram) {
    start_board(core_settings(1000000));
    worker->start_core();
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { worker->start_core(); }),
                "^Processing unit indicates the core has started but has not yet finished\n$"));
}

TEST(ProcessWorkerDummy, PretendsEachRunTakesItsFixedTime) {
    ProcessWorkerDummy dummy(nullptr, nullptr);
    EXPECT_TRUE(dummy.get_core_done());
    const auto before = Clock::now();
    dummy.work();
    EXPECT_TRUE(dummy.get_core_started());
    EXPECT_FALSE(dummy.get_core_done());
    EXPECT_TRUE(dummy.wait_core_done());
    EXPECT_GE(Clock::now() - before, ProcessWorkerDummy::SIMULATED_RUN);
    EXPECT_TRUE(dummy.get_waited());
    EXPECT_TRUE(dummy.is_core_done());
    EXPECT_GE(dummy.duration_us, 38461);
    EXPECT_EQ(dummy.get_simulated_us(), dummy.duration_us);
    EXPECT_EQ(dummy.get_framecount(), 1);

    // Waiting again after the run time has passed returns at once.
    EXPECT_TRUE(dummy.wait_core_done());
    EXPECT_FALSE(dummy.get_waited());
    EXPECT_EQ(dummy.get_framecount(), 2);
    EXPECT_TRUE(dummy.get_callbacks().empty());
}
