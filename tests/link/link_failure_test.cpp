// Failure paths of the link against the in-process board: lost, negative,
// oversized and late replies, boards that do not answer, stalled streams,
// broken sockets. Every report is checked line for line. Where the board is
// meant to stay silent the link has short limits; the time-out reports then
// show those.
#include "link_test_util.hpp"
#include "tests/support/link_fixture.hpp"
#include "tests/support/receive_buffer.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

const std::string ACK_TIMEOUT_20MS =
    "WARNING: UDP Interface: write_ack acknowledge timeout \n"
    "\tLast socket error:\tN\n"
    "\tTimeout duration: \t0.02s\n"
    "\tBytes available:  \t0\n"
    "\tBytes expected:   \t10\n";

// The reports of a reply that did not come within the short limits.
std::string read_timeout(size_t available, size_t expected) {
    return "WARNING: UDP Interface: read timeout \n"
           "\tLast socket error:\tN\n"
           "\tTimeout duration: \t0.25s\n"
           "\tBytes available:  \t" + std::to_string(available) + "\n"
           "\tBytes expected:   \t" + std::to_string(expected) + "\n";
}

std::string init_timeout(const std::string& duration, size_t available = 0) {
    return "WARNING: UDP Interface: write ack init acknowledge timeout \n"
           "\tLast socket error:\tN\n"
           "\tTimeout duration: \t" + duration + "\n"
           "\tBytes available:  \t" + std::to_string(available) + "\n"
           "\tBytes expected:   \t6\n";
}

std::string stream_timeout(uint64_t received, uint64_t expected) {
    return "WARNING: UDP Interface: read stream timeout \n"
           "\tLast socket error:\tN\n"
           "\tTimeout duration: \t0.25s\n"
           "\tBytes received:   \t" + std::to_string(received) + "\n"
           "\tBytes left:       \t" + std::to_string(expected - received) + "\n"
           "\tBytes expected:   \t" + std::to_string(expected) + "\n";
}

std::string capture_end() { return normalise_errors(testing::internal::GetCapturedStderr()); }

uint16_t port_with_nothing_listening() {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    close(s);
    return ntohs(a.sin_port);
}

TEST_F(LinkTest, AcknowledgementLostOnceGivesOneWarningBlock) {
    EmulatorSettings s;
    s.drop_nth = {{"write-ack", 1}};
    start(s);
    const auto data = pattern_words(10, 1);
    testing::internal::CaptureStderr();
    // A limit generous enough for a board slowed down by sanitizers.
    EXPECT_EQ(link().udp_write_ack_ddr(data.data(), 0x1000, 10, 500ms), 1);
    std::string timeout_block = ACK_TIMEOUT_20MS;
    timeout_block.replace(timeout_block.find("0.02s"), 5, "0.5s");
    EXPECT_EQ(capture_end(), timeout_block + retry_block("WARNING: UDP Interface: write_ack ddr failed, retrying", 5, 4));
    EXPECT_EQ(board().read_ddr(0x1000, 40), as_bytes(data));
}

TEST_F(LinkTest, AcknowledgementNeverGivenExhaustsFiveAttempts) {
    EmulatorSettings s;
    s.silent_after = 1;  // answers init, then nothing
    start(s);
    const auto data = pattern_words(4, 2);
    std::string want;
    for (int left = 4; left >= 0; --left)
        want += ACK_TIMEOUT_20MS + retry_block("WARNING: UDP Interface: write_ack ddr failed, retrying", 5, left);
    want += "ERROR: UDP Interface: write_ack ddr exceeded maximum number of retries \n\tNumber of retries:\t5\n";
    testing::internal::CaptureStderr();
    try {
        link().udp_write_ack_ddr(data.data(), 0, 4, 20ms);
        ADD_FAILURE() << "no exception";
    } catch (const exception_writeacktimeout& e) {
        EXPECT_STREQ(e.what(), "udp_write_ack_ddr: Exceeded maximum number of retries");
    }
    EXPECT_EQ(capture_end(), want);
    // The transfer lock was given back: a transfer left holding it would
    // block this one for good.
    link().udp_write_fabric(1u, 0x20);

    // Once the program is ending, the first failed attempt is the last: a
    // stop would otherwise wait out every retry.
    link().give_up_retries_when([] { return true; });
    testing::internal::CaptureStderr();
    EXPECT_THROW(link().udp_write_ack_ddr(data.data(), 0, 4, 20ms), exception_writeacktimeout);
    EXPECT_EQ(capture_end(), ACK_TIMEOUT_20MS);
    link().udp_write_fabric(1u, 0x20);
}

TEST_F(LinkTest, NegativeAcknowledgementsFailEveryAttempt) {
    EmulatorSettings s;
    s.nack = 1.0;
    start(s);
    const auto data = pattern_words(4, 3);
    std::string want;
    for (int left = 4; left >= 0; --left)
        want += retry_block("WARNING: UDP Interface: write_ack ddr failed, retrying", 5, left);
    want += "ERROR: UDP Interface: write_ack ddr exceeded maximum number of retries \n\tNumber of retries:\t5\n";
    testing::internal::CaptureStderr();
    EXPECT_THROW(link().udp_write_ack_ddr(data.data(), 0, 4, 1s), exception_writeacktimeout);
    EXPECT_EQ(capture_end(), want);
    EXPECT_EQ(board().counters().requests["write-ack:ddr"], 5u);
}

TEST_F(LinkTest, FabricAcknowledgedWriteWithoutReplyMakesOneAttempt) {
    EmulatorSettings s;
    s.silent_after = 1;  // answers init only
    start(s);
    testing::internal::CaptureStderr();
    try {
        link().udp_write_ack_fabric(1u, 0x00, 20ms);
        ADD_FAILURE() << "no exception";
    } catch (const exception_writeacktimeout& e) {
        EXPECT_STREQ(e.what(), "udp_write_ack_fabric: Exceeded maximum number of retries");
    }
    EXPECT_EQ(capture_end(), ACK_TIMEOUT_20MS +
                                 "WARNING: UDP Interface: write_ack fabric failed\n"
                                 "\tNumber of retries:\t1\n"
                                 "\tRetries left:     \t0\n"
                                 "\tretries exhausted\n"
                                 "ERROR: UDP Interface: write_ack fabric exceeded maximum number of retries \n"
                                 "\tNumber of retries:\t1\n");
    EXPECT_EQ(board().counters().faults["silent-after"], 1u);
}

TEST_F(LinkTest, FabricReadTimeoutIsRetriedAfterAPause) {
    EmulatorSettings s;
    s.drop_nth = {{"read", 1}};
    LinkLimits limits = short_limits();
    limits.fabric_read_pause = 100ms;
    start(s, 1000000, limits);
    link().udp_write_fabric(0xABCDu, 0x24);
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(link().udp_read_fabric(0x24), 0xABCDu);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, limits.reply + limits.fabric_read_pause);
    EXPECT_EQ(capture_end(), read_timeout(0, 10) + retry_block("WARNING: UDP Interface: read ddr failed, retrying", 5, 4));
}

// A board that stops answering: every attempt waits out the reply limit,
// and the attempts are those the link was built with.
TEST_F(LinkTest, DdrReadWithoutRepliesExhaustsItsAttempts) {
    EmulatorSettings s;
    s.silent_after = 1;
    LinkLimits limits = short_limits();
    limits.read_attempts = 3;
    start(s, 1000000, limits);
    std::vector<uint32_t> out(3);
    testing::internal::CaptureStderr();
    try {
        link().udp_read_ddr(out.data(), 0, 3);
        ADD_FAILURE() << "no exception";
    } catch (const exception_readtimeout& e) {
        EXPECT_STREQ(e.what(), "udp_read_ddr: Exceeded maximum number of retries");
    }
    std::string want;
    for (int left = 2; left >= 0; --left)
        want += read_timeout(0, 18) + retry_block("WARNING: UDP Interface: read ddr failed, retrying", 3, left);
    want += "ERROR: UDP Interface: read ddr exceeded maximum number of retries \n\tNumber of retries:\t3\n";
    EXPECT_EQ(capture_end(), want);
    EXPECT_EQ(board().counters().faults["silent-after"], 3u);
}

// A stream whose request is lost stalls; the attempt fails after the
// stream limit (the program goes on) and the whole transfer starts again.
TEST_F(LinkTest, StalledStreamFailsTheAttemptAndRestarts) {
    EmulatorSettings s;
    s.drop_nth = {{"stream", 1}};
    start(s, 1000000, short_limits());
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
    start(s, 1000000, short_limits());
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

// Oversized replies: the init reply and an acknowledgement are still taken
// (after a warning); a read reply is dropped and the attempt fails, so a
// read never succeeds; a stream's extra bytes are never stored.
TEST_F(LinkTest, RepliesLargerThanExpected) {
    EmulatorSettings s;
    s.oversize = 1.0;
    s.version = 5;
    testing::internal::CaptureStderr();
    start(s);
    EXPECT_EQ(receive_buffer::without_small_buffer_warning(capture_end()),
              "WARNING: UDP Interface: write ack init received packet size is larger than expected \n"
              "\tBytes available:\t10\n"
              "\tBytes expected: \t6\n");
    EXPECT_EQ(link().get_version(), 5u);

    const auto data = pattern_words(2048 + 3, 4);
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_write_ack_ddr(data.data(), 0, 2051, 1s), 1);
    const std::string larger_ack =
        "WARNING: UDP Interface: write ack received packet size is larger than expected\n"
        "\tBytes available:\t14\n"
        "\tBytes expected: \t10\n";
    EXPECT_EQ(capture_end(), larger_ack + larger_ack);

    std::vector<uint32_t> back(2051, 0);
    testing::internal::CaptureStderr();
    try {
        link().udp_read_ddr(back.data(), 0, 2);
        ADD_FAILURE() << "no exception";
    } catch (const exception_readtimeout& e) {
        EXPECT_STREQ(e.what(), "udp_read_ddr: Exceeded maximum number of retries");
    }
    std::string want;
    for (int left = 4; left >= 0; --left)
        want += "WARNING: UDP Interface: read received packet size is larger than expected\n"
                "\tBytes available:\t18\n"
                "\tBytes expected: \t14\n" +
                retry_block("WARNING: UDP Interface: read ddr failed, retrying", 5, left);
    want += "ERROR: UDP Interface: read ddr exceeded maximum number of retries \n\tNumber of retries:\t5\n";
    EXPECT_EQ(capture_end(), want);
    EXPECT_EQ(link().discarded_datagrams(), 5u);

    testing::internal::CaptureStderr();
    back.push_back(0x77777777);
    EXPECT_EQ(link().udp_read_stream_ddr(back.data(), 0, 2051), 2051);
    EXPECT_EQ(capture_end(), "");
    EXPECT_EQ(back.back(), 0x77777777u);
    back.pop_back();
    EXPECT_EQ(back, data);
}

// The waits sleep in the kernel for the time left: a reply that comes late in
// the limit, behind an empty datagram, still ends the wait as the reply.
TEST_F(LinkTest, ReplyLateInTheLimitIsStillTaken) {
    EmulatorSettings s;
    s.delay_us = 200000;
    s.empty_before = 1.0;
    start(s);  // init too waits 200 ms of its 1 s
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_write_ack_fabric(0xC0FFEEu, 0x2C, 400ms), 1);
    EXPECT_EQ(link().udp_read_fabric(0x2C), 0xC0FFEEu);
    EXPECT_EQ(capture_end(), "");
}

// A reply that comes after its exchange gave up stays queued; the next
// exchange drops it instead of taking it for its own reply.
TEST_F(LinkTest, LateReplyIsDiscardedNotTaken) {
    EmulatorSettings s;
    s.delay_us = 150000;
    start(s);
    link().udp_write_fabric(0x600DF00Du, 0x28);
    const uint32_t word = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(link()._udp_write_ack(&word, 0x100, 1, true, 10ms), 0);
    capture_end();
    // The late acknowledgement (10 bytes, as large as a one-word read reply) is queued now.
    ASSERT_TRUE(link().datagram_queued(5s));
    EXPECT_EQ(link().udp_read_fabric(0x28), 0x600DF00Du);
    EXPECT_EQ(link().discarded_datagrams(), 1u);
}

// A reply shorter than its exchange expects is not the reply: the exchange
// waits on for a whole one, and without one the attempt fails. A short
// acknowledgement whose status byte reads positive, for a write the board
// never made, must not pass for success; nor may a read reply that lacks a
// word.
TEST_F(LinkTest, ShortRepliesFailTheAttempt) {
    EmulatorSettings s;
    s.short_nth = {{"write-ack", 1}, {"read", 1}};
    start(s, 1000000, short_limits());
    const auto data = pattern_words(3, 7);
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_write_ack_ddr(data.data(), 0x2000, 3, 200ms), 1);
    std::string ack_timeout = ACK_TIMEOUT_20MS;
    ack_timeout.replace(ack_timeout.find("0.02s"), 5, "0.2s");
    ack_timeout.replace(ack_timeout.find("\t0\n"), 3, "\t6\n");
    EXPECT_EQ(capture_end(), ack_timeout + retry_block("WARNING: UDP Interface: write_ack ddr failed, retrying", 5, 4));
    EXPECT_EQ(board().read_ddr(0x2000, 12), as_bytes(data));
    EXPECT_EQ(board().counters().requests["write-ack:ddr"], 2u);

    std::vector<uint32_t> back(3, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_read_ddr(back.data(), 0x2000, 3), 3);
    EXPECT_EQ(capture_end(),
              read_timeout(14, 18) + retry_block("WARNING: UDP Interface: read ddr failed, retrying", 5, 4));
    EXPECT_EQ(back, data);
    EXPECT_EQ(link().discarded_datagrams(), 2u);
}

// An init reply under its 6 bytes gives no version: init times out, and the
// next init takes the whole reply.
TEST(LinkInit, ShortInitReplyIsATimeout) {
    EmulatorSettings s;
    s.short_nth = {{"init", 1}};
    s.version = 0x01020304;
    BoardEmulator board(s);
    board.start();
    UDPInterfaceEthernet link(8192, 64, 4, 8, false, short_limits());
    testing::internal::CaptureStderr();
    EXPECT_THROW(link.init("127.0.0.1", board.port(), 100), exception_inittimeout);
    EXPECT_EQ(capture_end(), init_timeout("0.25s", 4));
    EXPECT_EQ(link.get_version(), 0u);
    link.init("127.0.0.1", board.port(), 100);
    EXPECT_EQ(link.get_version(), 0x01020304u);
}

// A zero-length datagram ahead of every reply (and of every stream) is
// looked past: every exchange takes the reply behind it, at once.
TEST_F(LinkTest, EmptyDatagramsAheadOfRepliesAreLookedPast) {
    EmulatorSettings s;
    s.empty_before = 1.0;
    s.version = 3;
    start(s);
    EXPECT_EQ(link().get_version(), 3u);
    const auto data = pattern_words(3 * 2048 + 5, 8);
    std::vector<uint32_t> back(data.size(), 0), streamed(data.size(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_write_ack_ddr(data.data(), 0, uint32_t(data.size()), 1s), 1);
    EXPECT_EQ(link().udp_read_ddr(back.data(), 0, uint32_t(data.size())), int(data.size()));
    EXPECT_EQ(link().udp_read_stream_ddr(streamed.data(), 0, uint32_t(data.size())), int(data.size()));
    link().udp_write_fabric(0x5A5Au, 0x20);
    EXPECT_EQ(link().udp_read_fabric(0x20), 0x5A5Au);
    EXPECT_EQ(capture_end(), "");
    EXPECT_EQ(back, data);
    EXPECT_EQ(streamed, data);
    // init, 4 acknowledgements, 4 read replies, 1 stream, 1 register read
    EXPECT_EQ(board().counters().faults["empty-before"], 11u);
    EXPECT_EQ(link().discarded_datagrams(), 11u);
}

TEST(LinkInit, BoardThatDoesNotAnswerInitTimesOutThenRetrySucceeds) {
    EmulatorSettings s;
    s.silent_init = 1;
    s.version = 9;
    BoardEmulator board(s);
    board.start();
    UDPInterfaceEthernet link(8192, 64, 4, 8, false, short_limits());
    testing::internal::CaptureStderr();
    try {
        link.init("127.0.0.1", board.port(), 100);
        ADD_FAILURE() << "no exception";
    } catch (const exception_inittimeout& e) {
        EXPECT_STREQ(e.what(), "");
    }
    EXPECT_EQ(capture_end(), init_timeout("0.25s"));
    // Start-up's retry: reset, then init again on a new socket.
    EXPECT_EQ(link.udp_reset(), 1);
    ASSERT_TRUE(poll_until([&] { return board.counters().resets == 1; }));
    board.stop();  // the reset's boot time is not what this test is about: restart the board
    EmulatorSettings again;
    again.version = 9;
    BoardEmulator fresh(again);
    fresh.start();
    link.init("127.0.0.1", fresh.port(), 100);
    EXPECT_EQ(link.get_version(), 9u);
}

// Nothing listens: the port-unreachable answers surface as ECONNREFUSED on
// the socket. They are not send failures: init times out (so start-up's
// retry applies), and later sends go out. The link's own limits here: the
// time-out report gives the board's one second as "1s".
TEST(LinkInit, NothingListeningReadsAsTimeoutNotSendFailure) {
    UDPInterfaceEthernet link(8192, 64, 4, 8, false);
    const uint16_t port = port_with_nothing_listening();
    testing::internal::CaptureStderr();
    EXPECT_THROW(link.init("127.0.0.1", port, 100), exception_inittimeout);
    EXPECT_EQ(capture_end(), init_timeout("1s"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(link.udp_reset(), 1);
    const auto data = pattern_words(3 * 2048, 6);
    EXPECT_NO_THROW(link.udp_write_ddr(data.data(), 0, 3 * 2048));
    EXPECT_EQ(link.udp_reset(), 1);
    EXPECT_EQ(capture_end(), "");
}

TEST_F(LinkTest, DoneQueryIsTheResetCommandAndGetsNoAcknowledgement) {
    EmulatorSettings s;
    s.boot_ms = 1;
    start(s);
    testing::internal::CaptureStderr();
    EXPECT_EQ(link().udp_done(20ms), 0);
    EXPECT_EQ(capture_end(),
              "WARNING: UDP Interface: done acknowledge timeout \n"
              "\tLast socket error:\tN\n"
              "\tTimeout duration: \t0.02s\n"
              "\tBytes available:  \t0\n"
              "\tBytes expected:   \t10\n");
    EXPECT_EQ(link().udp_reset(), 1);
    ASSERT_TRUE(poll_until([&] { return board().counters().resets == 2; }));
    EXPECT_EQ(board().counters().requests["done"], 2u);
}

TEST_F(LinkTest, SendFailuresOnAClosedSocket) {
    start();
    EXPECT_EQ(link().close_socket(), 0);
    const uint32_t word = 1;
    testing::internal::CaptureStderr();
    try {
        link().udp_write_ddr(&word, 0, 1);
        ADD_FAILURE() << "no exception";
    } catch (const exception_writeerror& e) {
        EXPECT_STREQ(e.what(), "");
    }
    EXPECT_EQ(link().udp_reset(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "ERROR: UDP Interface: write failed \n"
              "\tLast socket error:\t9\n"
              "ERROR: UDP Interface: write reset failed \n"
              "\tLast socket error:\t9\n");
    // The failed write gave the transfer lock back: this one fails on its own.
    testing::internal::CaptureStderr();
    EXPECT_THROW(link().udp_write_fabric(1u, 0x20), exception_writeerror);
    testing::internal::GetCapturedStderr();
}

}  // namespace
