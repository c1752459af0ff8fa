// Failure paths that take seconds: read and stream time limits.
#include "link_test_util.hpp"
#include "tests/support/link_fixture.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

std::string capture_end() { return normalise_errors(testing::internal::GetCapturedStderr()); }

std::string stream_timeout(uint64_t received, uint64_t expected) {
    return "WARNING: UDP Interface: read stream timeout \n"
           "\tLast socket error:\tN\n"
           "\tTimeout duration: \t5s\n"
           "\tBytes received:   \t" + std::to_string(received) + "\n"
           "\tBytes left:       \t" + std::to_string(expected - received) + "\n"
           "\tBytes expected:   \t" + std::to_string(expected) + "\n";
}

TEST_F(LinkTest, DdrReadWithoutRepliesExhaustsFiveAttempts) {
    EmulatorSettings s;
    s.silent_after = 1;
    start(s);
    std::vector<uint32_t> out(3);
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    try {
        link().udp_read_ddr(out.data(), 0, 3);
        ADD_FAILURE() << "no exception";
    } catch (const exception_readtimeout& e) {
        EXPECT_STREQ(e.what(), "udp_read_ddr: Exceeded maximum number of retries");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 5s);
    std::string want;
    for (int left = 4; left >= 0; --left)
        want += "WARNING: UDP Interface: read timeout \n\tLast socket error:\tN\n\tTimeout duration: \t1s\n"
                "\tBytes available:  \t0\n\tBytes expected:   \t18\n" +
                retry_block("WARNING: UDP Interface: read ddr failed, retrying", 5, left);
    want += "ERROR: UDP Interface: read ddr exceeded maximum number of retries \n\tNumber of retries:\t5\n";
    EXPECT_EQ(capture_end(), want);
}

// A stream whose request is lost stalls; the attempt fails after 5 s
// (the program goes on) and the whole transfer starts again.
TEST_F(LinkTest, StalledStreamFailsTheAttemptAndRestarts) {
    EmulatorSettings s;
    s.drop_nth = {{"stream", 1}};
    start(s);
    const auto data = pattern_words(5000, 8);
    board().write_ddr(0x10000, as_bytes(data));
    std::vector<uint32_t> out(5000, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_read_stream_ddr(out.data(), 0x10000, 5000), 5000);
    EXPECT_EQ(capture_end(),
              stream_timeout(0, 20000) + retry_block("WARNING: UDP Interface: read ddr stream failed, retrying", 5, 4));
    EXPECT_EQ(out, data);
}

// Every answer misses one datagram: five stalled attempts, then the error.
TEST_F(LinkTest, StreamWithAMissingDatagramNeverCompletes) {
    EmulatorSettings s;
    s.stream_gap = 1.0;
    start(s);
    std::vector<uint32_t> out(3 * 2048);
    testing::internal::CaptureStderr();
    try {
        link().udp_read_stream_ddr(out.data(), 0, 3 * 2048);
        ADD_FAILURE() << "no exception";
    } catch (const exception_readtimeout& e) {
        EXPECT_STREQ(e.what(), "udp_read_ddr: Exceeded maximum number of retries");
    }
    std::string want;
    for (int left = 4; left >= 0; --left)
        want += stream_timeout(2 * 8192, 3 * 8192) +
                retry_block("WARNING: UDP Interface: read ddr stream failed, retrying", 5, left);
    want += "ERROR: UDP Interface: read ddr stream exceeded maximum number of retries \n\tNumber of retries:\t5\n";
    EXPECT_EQ(capture_end(), want);
    EXPECT_EQ(board().counters().requests["stream"], 5u);
}

}  // namespace
