#include "app/board.hpp"
#include "app/boot_wait.hpp"

#include "tests/support/null_link.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Records the weight uploads, reset commands and single reads it is given,
// fails a chosen number of acknowledged DDR writes and leaves a chosen
// number of reads unanswered.
class WeightUploadLink : public NullLink {
public:
    struct Upload {
        std::vector<uint32_t> words;
        uint32_t address;
        std::chrono::nanoseconds timeout;
    };

    // Acknowledged DDR writes that time out before one succeeds; -1: all do.
    int failing_uploads = 0;
    // Single reads (_udp_read) that go unanswered before one is answered; -1: all do.
    int silent_reads = 0;
    // Fabric addresses of the single reads, in order.
    std::vector<uint32_t> read_addresses;

    std::vector<Upload> uploads;
    // The order of calls: "write_ack_ddr", "reset", "read".
    std::vector<std::string> calls;

    int count(const std::string& call) const {
        int n = 0;
        for (const auto& c : calls) n += c == call;
        return n;
    }

    int udp_write_ack_ddr(const uint32_t* data, uint32_t address, uint32_t word_count,
                          std::chrono::nanoseconds timeout) override {
        calls.push_back("write_ack_ddr");
        uploads.push_back({std::vector<uint32_t>(data, data + word_count), address, timeout});
        if (failing_uploads != 0) {
            if (failing_uploads > 0) --failing_uploads;
            throw exception_writeacktimeout("udp_write_ack_ddr: Exceeded maximum number of retries");
        }
        return 1;
    }
    int udp_reset() override {
        calls.push_back("reset");
        return 1;
    }
    uint64_t _udp_read(uint32_t* destination, uint32_t address, uint32_t word_count, bool ddr) override {
        calls.push_back("read");
        read_addresses.push_back(ddr ? ~0u : address);
        if (silent_reads != 0) {
            if (silent_reads > 0) --silent_reads;
            return 0;
        }
        for (uint32_t i = 0; i < word_count; ++i) destination[i] = 7;
        return word_count;
    }
};

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
    std::shared_ptr<WeightUploadLink> link = std::make_shared<WeightUploadLink>();
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
                                   "\tWAITING FOR RISCV BOOT (at most 16 seconds), Ctrl-C stops\n"
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
                                   "\tWAITING FOR RISCV BOOT (at most 0 seconds), Ctrl-C stops\n"
                                   "\tNO ANSWER WITHIN 0 seconds\n"
                                   "\tWAITING FOR RISCV BOOT (at most 0 seconds), Ctrl-C stops\n"
                                   "\tNO ANSWER WITHIN 0 seconds\n");
    EXPECT_EQ(link->calls, (std::vector<std::string>{"write_ack_ddr", "reset", "read", "write_ack_ddr", "reset",
                                                     "read", "write_ack_ddr", "reset"}));
}

// The board is asked again once a second until it answers, within the limit.
TEST(BootWait, AsksUntilTheBoardAnswersOrOnceWhenThereIsNoTime) {
    int questions = 0;
    CaptureStdout();
    EXPECT_TRUE(wait_for_boot([&questions] { return ++questions == 2; }, BOARD_BOOT_TIME));
    EXPECT_EQ(GetCapturedStdout(), "\tWAITING FOR RISCV BOOT (at most 16 seconds), Ctrl-C stops\n\tWAITING DONE\n");
    EXPECT_EQ(questions, 2);

    questions = 0;
    CaptureStdout();
    EXPECT_FALSE(wait_for_boot([&questions] { return ++questions == 2; }, std::chrono::milliseconds(250)));
    EXPECT_EQ(GetCapturedStdout(), "\tWAITING FOR RISCV BOOT (at most 0.25 seconds), Ctrl-C stops\n\tNO ANSWER WITHIN 0.25 seconds\n");
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
