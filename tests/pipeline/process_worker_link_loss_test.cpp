// A board that stops answering while the core-control stage talks to it: each
// case waits out the link's five read attempts of one second.
#include "pipeline/process_worker.hpp"

#include "tests/support/link_fixture.hpp"

#include <gtest/gtest.h>

namespace {

class ProcessWorkerLinkLoss : public LinkTest {
protected:
    // The board answers the link's init and then `answered` more requests.
    void start_board(uint64_t answered) {
        EmulatorSettings settings;
        settings.model = "zero";
        settings.core_us = 0;
        settings.silent_after = 1 + answered;
        start(settings);
        worker = std::make_shared<ProcessWorker>(lb.link, std::make_shared<Core>());
    }
    std::shared_ptr<ProcessWorker> worker;
};

}  // namespace

TEST_F(ProcessWorkerLinkLoss, SilentBoardWhileWaitingRaisesReset) {
    start_board(4);  // the status read and the three start writes
    worker->start_core();
    testing::internal::CaptureStderr();
    try {
        worker->wait_core_done();
        FAIL() << "no exception_reset";
    } catch (const exception_reset& error) {
        EXPECT_STREQ(error.what(),
                     "exception_reset in processing node @wait_core_done: "
                     "udp_read_fabric: Exceeded maximum number of retries");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(worker->get_core_done());
    EXPECT_FALSE(worker->get_core_started());
}

TEST_F(ProcessWorkerLinkLoss, SilentBoardAtTheStatusCheckRaisesReset) {
    start_board(0);
    testing::internal::CaptureStderr();
    try {
        worker->start_core();
        FAIL() << "no exception_reset";
    } catch (const exception_reset& error) {
        EXPECT_STREQ(error.what(),
                     "exception_reset in processing node @start_core: "
                     "udp_read_fabric: Exceeded maximum number of retries");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(worker->get_core_done());
    EXPECT_FALSE(worker->get_core_started());
}
