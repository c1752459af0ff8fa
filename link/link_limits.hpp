// The time limits and attempt counts of the link to the board. The link is
// built with one of these; the defaults are the board's figures, which the
// programs use. Tests build links with short limits, so that a board that
// stays silent costs them milliseconds instead of seconds.
#pragma once

#include <chrono>

struct LinkLimits {
    // The longest wait for the reply to an init or a read request.
    std::chrono::nanoseconds reply{std::chrono::seconds(1)};
    // The longest wait for each datagram of a stream, counted afresh for each.
    std::chrono::nanoseconds stream_datagram{std::chrono::seconds(5)};
    // The pause after a fabric read that got no reply, before it is tried again.
    std::chrono::nanoseconds fabric_read_pause{std::chrono::milliseconds(1)};
    // Attempts (at least 1) per chunk of an acknowledged write, DDR and fabric.
    int ddr_write_ack_attempts = 5;
    int fabric_write_ack_attempts = 1;
    // Attempts per chunk of a read, and per whole stream read.
    int read_attempts = 5;
    int stream_attempts = 5;
};
