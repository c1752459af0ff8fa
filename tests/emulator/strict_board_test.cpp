// The host's link and core control against a board as strict as a real one:
// each case shows a host fault the emulator now catches, and that the
// current host does not commit it.
#include "emulator/board_emulator.hpp"
#include "pipeline/process_worker.hpp"
#include "tests/support/link_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t DATA = 0x100000, OUTPUT = 0x200000, PINGPONG = 0x80000;
constexpr uint32_t FRAME_WORDS = 3 * 416 * 416 / 4;

EmulatorSettings strict_settings() {
    EmulatorSettings s;
    s.model = "zero";
    s.ddr_mib = 8;
    s.boot_ms = 0;
    s.address_data = DATA;
    s.address_output = OUTPUT;
    s.offset_pingpong = PINGPONG;
    return s;
}

std::vector<uint32_t> counting(size_t n, uint32_t from = 1) {
    std::vector<uint32_t> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
}

}  // namespace

// The board drains its receive buffer (of the default size) at 1.25 times
// the host's configured rate: a host pacing at that rate loses nothing, one
// pacing at four times it loses input. (The rates are a quarter of the
// programs' usual ones, so that the loopback socket in front of the board
// model loses nothing either; see FRAME_TEST_RATE_MIBPS.)
TEST(StrictBoard, PacingAboveTheBoardsDrainRateLosesDatagrams) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the race detector slows both sides far below the rates this compares";
#endif
    EmulatorSettings s = strict_settings();
    s.drain_mibps = 1.25 * FRAME_TEST_RATE_MIBPS;
    // Four frames: long enough for a host at four times the rate to fill the
    // buffer even when a loaded machine (or a sanitizer) makes it much slower
    // than that.
    const auto frames = counting(4 * FRAME_WORDS);
    for (uint32_t rate : {FRAME_TEST_RATE_MIBPS, 4 * FRAME_TEST_RATE_MIBPS}) {
        LinkedBoard lb = start_linked_board(s, rate);
        lb.link->udp_write_ddr(frames.data(), DATA, uint32_t(frames.size()));
        // Read back in pieces that fit a stock machine's socket buffer.
        std::vector<uint32_t> back(frames.size());
        constexpr size_t PIECE = 32 * 1024;  // words: 128 KiB, a third of the socket buffer a stock machine grants
        for (size_t at = 0; at < back.size(); at += PIECE)
            lb.link->udp_read_stream_ddr(back.data() + at, uint32_t(DATA + 4 * at),
                                         uint32_t(std::min(PIECE, back.size() - at)));
        if (rate == FRAME_TEST_RATE_MIBPS) {
            EXPECT_EQ(lb.board->counters().receive_overflows, 0u);
            EXPECT_EQ(lb.board->counters().socket_drops, 0u);
            EXPECT_EQ(back, frames);
        } else {
            // Lost to the board's buffer, or before it, to a socket whose
            // reader could not keep up (a stock machine's small socket buffer).
            const auto c = lb.board->counters();
            EXPECT_GT(c.receive_overflows + c.socket_drops, 0u);
            EXPECT_NE(back, frames);
        }
    }
}

// Paced writes go out in groups of at most 32 KiB, and at most two groups
// ever arrive back to back however late the host's wake-ups come: a board
// whose buffer holds two groups and a datagram, drained at 1.25 times the
// rate, loses nothing over four frames.
TEST(StrictBoard, PacedGroupsFitABufferOfTwoGroups) {
    EmulatorSettings s = strict_settings();
    s.drain_mibps = 1.25 * FRAME_TEST_RATE_MIBPS;
    s.buffer_kib = 72;
    const auto frames = counting(4 * FRAME_WORDS);
    LinkedBoard lb = start_linked_board(s, FRAME_TEST_RATE_MIBPS);
    lb.link->udp_write_ddr(frames.data(), DATA, uint32_t(frames.size()));
    std::vector<uint32_t> back(frames.size());
    constexpr size_t PIECE = 32 * 1024;  // words, as above
    for (size_t at = 0; at < back.size(); at += PIECE)
        lb.link->udp_read_stream_ddr(back.data() + at, uint32_t(DATA + 4 * at),
                                     uint32_t(std::min(PIECE, back.size() - at)));
    EXPECT_EQ(lb.board->counters().receive_overflows, 0u);
    EXPECT_EQ(back, frames);
}

// A host writing into the input of the set the core runs on, or reading its
// output before the run ends, is counted; the other set is free.
TEST(StrictBoard, AccessToTheRunningSetIsAProtocolError) {
    EmulatorSettings s = strict_settings();
    s.core_us = 60'000'000;  // the run lasts the whole test
    LinkedBoard lb = start_linked_board(s);
    ProcessWorker worker(lb.link, std::make_shared<Core>());
    worker.start_core();  // buffer set 0
    ASSERT_TRUE(lb.board->last_run(0).has_value());

    const auto words = counting(16);
    std::vector<uint32_t> back(16);
    lb.link->udp_write_ddr(words.data(), DATA + PINGPONG, 16);   // the other set's input
    lb.link->udp_read_ddr(back.data(), OUTPUT + PINGPONG, 16);   // and output
    lb.link->udp_read_ddr(back.data(), DATA, 16);                // reading the running input is harmless
    EXPECT_EQ(lb.board->counters().protocol_errors, 0u);

    lb.link->udp_write_ddr(words.data(), DATA + 4096, 16);
    lb.link->udp_read_stream_ddr(back.data(), OUTPUT, 16);
    ASSERT_TRUE(poll_until([&] { return lb.board->counters().running_set_accesses == 2; }));
    EXPECT_EQ(lb.board->counters().protocol_errors, 2u);
}

// Stream datagrams of the board's own sizes are assembled exactly; a
// duplicated or a swapped datagram garbles that read only (the wire gives no
// order to rely on), never writes past the destination, and the next read
// is right again.
TEST(StrictBoard, StreamsOfTheBoardsShape) {
    EmulatorSettings s = strict_settings();
    s.stream_payload = {1200, 1600, 1200};
    const auto data = counting(1000 * 50);
    {
        LinkedBoard lb = start_linked_board(s);
        lb.board->write_ddr(0, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(data.data()),
                                                    reinterpret_cast<const uint8_t*>(data.data() + data.size())));
        std::vector<uint32_t> back(data.size());
        EXPECT_EQ(lb.link->udp_read_stream_ddr(back.data(), 0, uint32_t(back.size())), int(back.size()));
        EXPECT_EQ(back, data);
    }
    for (int swap = 0; swap < 2; ++s.seed, ++swap) {
        EmulatorSettings f = s;
        (swap ? f.stream_swap : f.stream_duplicate) = 1.0;
        LinkedBoard lb = start_linked_board(f);
        lb.board->write_ddr(0, std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(data.data()),
                                                    reinterpret_cast<const uint8_t*>(data.data() + data.size())));
        constexpr uint32_t GUARD = 0xFEEDF00D;
        std::vector<uint32_t> back(data.size() + 64, GUARD);
        lb.link->udp_read_stream_ddr(back.data(), 0, uint32_t(data.size()));
        EXPECT_TRUE(std::all_of(back.begin() + long(data.size()), back.end(), [](uint32_t w) { return w == GUARD; }));
        EXPECT_EQ(lb.board->counters().faults.at(swap ? "stream-swap" : "stream-duplicate"), 1u);
        // Longer than any stream datagram: one of the garbled stream's, still
        // on its way, is dropped as too short rather than taken as the reply.
        std::vector<uint32_t> again(500);
        ASSERT_EQ(lb.link->udp_read_ddr(again.data(), 400, 500), 500);
        EXPECT_TRUE(std::equal(again.begin(), again.end(), data.begin() + 100));
    }
}

// A lost acknowledgement of a core start whose write was carried out: the
// host gives the start up and asks for a reset, and the board's run counts.
TEST(StrictBoard, LostStartAcknowledgementEndsInAReset) {
    EmulatorSettings s = strict_settings();
    s.nth_reply.push_back({"start", 1, -1});
    LinkedBoard lb = start_linked_board(s);
    CoreLimits limits;
    limits.start_ack = 250ms;
    ProcessWorker worker(lb.link, std::make_shared<Core>(), limits);
    EXPECT_THROW(worker.start_core(), exception_reset);
    EXPECT_EQ(lb.board->counters().runs_started, 1u);
    EXPECT_EQ(lb.board->counters().faults.at("drop-nth-reply"), 1u);
}
