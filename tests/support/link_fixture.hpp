// Test helper: a fresh in-process board emulator on 127.0.0.1 (free port)
// and a link connected and initialised to it, as start-up makes it
// (8192-byte DDR payloads, 64-byte fabric payloads, read offset 4, write
// offset 8, command flag false).
//
//   LinkedBoard lb = start_linked_board(settings);   // or derive from LinkTest
//   lb.link->udp_write_ack_ddr(...);  lb.board->read_ddr(...);
#pragma once

#include "emulator/board_emulator.hpp"
#include "link/udp_interface_ethernet.hpp"
#include "tests/support/poll.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

#include <gtest/gtest.h>

struct LinkedBoard {
    std::unique_ptr<BoardEmulator> board;
    std::shared_ptr<UDPInterfaceEthernet> link;

    LinkedBoard() = default;
    LinkedBoard(LinkedBoard&&) = default;
    LinkedBoard& operator=(LinkedBoard&&) = default;
    // The link goes first, then the board stops and joins its thread.
    ~LinkedBoard() {
        link.reset();
        board.reset();
    }
};

// Limits for a board that is meant to stay silent: replies and stream
// datagrams are given up on after a fraction of a second, so that the
// failure paths cost little time. A board that answers meets them easily,
// even slowed down by a sanitizer.
inline LinkLimits short_limits() {
    LinkLimits limits;
    limits.reply = std::chrono::milliseconds(250);
    limits.stream_datagram = std::chrono::milliseconds(250);
    return limits;
}

// The write rate, MiB/s, of tests that upload whole frames to check what
// comes of them rather than the pacing: a quarter of the programs' usual
// rate. With an ordinary user's receive-buffer limit the emulator's socket
// holds only about 27 upload datagrams, 2 ms of a 100 MiB/s upload, and on a
// busy 2-core machine the kernel now and then hands loopback datagrams to
// the socket several milliseconds late and all at once; at this rate the
// socket bridges 8 ms.
constexpr uint32_t FRAME_TEST_RATE_MIBPS = 25;

// Starts the board on a free loopback port and initialises a link to it. A
// `write_rate_limit` this large makes DDR writes unpaced (pace 0 us). Init's
// console lines go to standard output as usual.
inline LinkedBoard start_linked_board(EmulatorSettings settings = EmulatorSettings(),
                                      uint32_t write_rate_limit = 1000000, const LinkLimits& limits = LinkLimits()) {
    settings.bind = "127.0.0.1";
    settings.port = 0;
    LinkedBoard lb;
    lb.board = std::make_unique<BoardEmulator>(std::move(settings));
    lb.board->start();
    lb.link = std::make_shared<UDPInterfaceEthernet>(8192, 64, 4, 8, false, limits);
    lb.link->init("127.0.0.1", lb.board->port(), write_rate_limit);
    return lb;
}

// GoogleTest fixture: call start() (optionally with settings) in the test body.
class LinkTest : public ::testing::Test {
protected:
    void start(EmulatorSettings settings = EmulatorSettings(), uint32_t write_rate_limit = 1000000,
               const LinkLimits& limits = LinkLimits()) {
        lb = start_linked_board(std::move(settings), write_rate_limit, limits);
    }
    BoardEmulator& board() { return *lb.board; }
    UDPInterfaceEthernet& link() { return *lb.link; }

    LinkedBoard lb;
};
