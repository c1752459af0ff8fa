#include "app/board.hpp"
#include "app/boot_wait.hpp"

#include "tests/app/recording_link.hpp"

#include <gtest/gtest.h>

#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class BoardMaintenance : public testing::Test {
protected:
    void SetUp() override {
        saved_weights = packed_weights;
        stop.store(false);
        reset.store(false);
        switch_source.store(false);
    }
    void TearDown() override {
        packed_weights = saved_weights;
        stop.store(false);
        reset.store(false);
        switch_source.store(false);
    }
    static void set_weights(std::initializer_list<unsigned char> bytes) {
        packed_weights = std::make_shared<std::vector<char>>();
        for (unsigned char b : bytes) packed_weights->push_back(static_cast<char>(b));
    }

    std::shared_ptr<std::vector<char>> saved_weights;
    std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
};

}  // namespace

TEST_F(BoardMaintenance, UploadSendsLittleEndianWordsFromAddressZeroAndDropsTheRemainder) {
    set_weights({0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44, 0xAA, 0xBB});
    CaptureStdout();
    upload_weights(link);
    EXPECT_EQ(GetCapturedStdout(), "UPLOADING WEIGHTS\nUPLOADING WEIGHTS DONE\n");
    ASSERT_EQ(link->uploads.size(), 1u);
    EXPECT_EQ(link->uploads[0].words, (std::vector<uint32_t>{0x00112233u, 0x44556677u}));
    EXPECT_EQ(link->uploads[0].address, 0u);
    EXPECT_EQ(link->uploads[0].timeout, std::chrono::seconds(1));
    EXPECT_EQ(link->count("reset"), 0);
}

TEST_F(BoardMaintenance, UploadAcknowledgedOnTheSecondAttempt) {
    set_weights({1, 2, 3, 4});
    link->failing_uploads = 1;
    CaptureStdout();
    CaptureStderr();
    upload_weights(link);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(GetCapturedStdout(), "UPLOADING WEIGHTS\n"
                                   "\tWAITING FOR RISCV BOOT (at most 16 seconds)\n"
                                   "\tWAITING DONE\n"
                                   "UPLOADING WEIGHTS DONE\n");
    EXPECT_EQ(err, "UDP Reset @ FPGA Init\n");
    // The reset board is asked for its status register before the retry.
    EXPECT_EQ(link->calls, (std::vector<std::string>{"write_ack_ddr", "reset", "read", "write_ack_ddr"}));
    EXPECT_EQ(link->read_addresses, (std::vector<uint32_t>{0x10}));
    EXPECT_EQ(link->uploads[1].words, link->uploads[0].words);
}

TEST_F(BoardMaintenance, UploadNeverAcknowledgedGivesUpAfterThreeAttempts) {
    set_weights({1, 2, 3, 4});
    link->failing_uploads = -1;
    link->silent_reads = -1;
    CaptureStdout();
    CaptureStderr();
    // A wait of 0 asks the silent board once.
    EXPECT_FALSE(try_upload_weights(link, std::chrono::seconds(0)));
    EXPECT_EQ(GetCapturedStderr(), "UDP Reset @ FPGA Init\nUDP Reset @ FPGA Init\nUDP Reset @ FPGA Init\n");
    EXPECT_EQ(GetCapturedStdout(), "UPLOADING WEIGHTS\n"
                                   "\tWAITING FOR RISCV BOOT (at most 0 seconds)\n"
                                   "\tNO ANSWER WITHIN 0 seconds\n"
                                   "\tWAITING FOR RISCV BOOT (at most 0 seconds)\n"
                                   "\tNO ANSWER WITHIN 0 seconds\n");
    EXPECT_EQ(link->calls, (std::vector<std::string>{"write_ack_ddr", "reset", "read", "write_ack_ddr", "reset",
                                                     "read", "write_ack_ddr", "reset"}));
}

// The board is asked again once a second until it answers, within the limit.
TEST(BootWait, AsksUntilTheBoardAnswersOrOnceWhenThereIsNoTime) {
    int questions = 0;
    CaptureStdout();
    EXPECT_TRUE(wait_for_boot([&questions] { return ++questions == 2; }, BOARD_BOOT_TIME));
    EXPECT_EQ(GetCapturedStdout(), "\tWAITING FOR RISCV BOOT (at most 16 seconds)\n\tWAITING DONE\n");
    EXPECT_EQ(questions, 2);

    questions = 0;
    CaptureStdout();
    EXPECT_FALSE(wait_for_boot([&questions] { return ++questions == 2; }, std::chrono::milliseconds(250)));
    EXPECT_EQ(GetCapturedStdout(), "\tWAITING FOR RISCV BOOT (at most 0.25 seconds)\n\tNO ANSWER WITHIN 0.25 seconds\n");
    EXPECT_EQ(questions, 1);
}

TEST_F(BoardMaintenance, CallbacksPrintTheirLineAndOnlySetFlags) {
    CaptureStdout();
    callback_stop();
    EXPECT_EQ(GetCapturedStdout(), "CALLBACK STOP\n");
    EXPECT_TRUE(stop.load());
    EXPECT_FALSE(reset.load());
    EXPECT_FALSE(switch_source.load());

    stop.store(false);
    CaptureStdout();
    callback_reset();
    callback_reset();  // twice has the effect of once
    EXPECT_EQ(GetCapturedStdout(), "CALLBACK RESET\nCALLBACK RESET\n");
    EXPECT_TRUE(stop.load());
    EXPECT_TRUE(reset.load());
    EXPECT_FALSE(switch_source.load());

    CaptureStdout();
    callback_switch();
    EXPECT_EQ(GetCapturedStdout(), "CALLBACK SWITCH\n");
    EXPECT_TRUE(switch_source.load());
    // Nothing is cleared by a callback.
    EXPECT_TRUE(stop.load());
    EXPECT_TRUE(reset.load());
}
