// Waiting for a board that has just been sent its reset command: it answers
// nothing until its processor has booted again, which takes up to 16 s.
#pragma once

#include <chrono>
#include <functional>

// The longest a board takes to boot after its reset command.
constexpr std::chrono::seconds BOARD_BOOT_TIME{16};

// How often a booting board is asked whether it is up.
constexpr std::chrono::seconds BOOT_PROBE_INTERVAL{1};

// Asks `board_answers` at once and then once a second, counted from the
// start of each question, until it returns true or `limit` has passed: a
// question is only started before the limit, so the wait ends at most one
// question's time after it. Each question waits for its own reply. Prints
// "\tWAITING FOR RISCV BOOT (at most N seconds)" before the first question
// and "\tWAITING DONE" or "\tNO ANSWER WITHIN N seconds" at the end, on
// standard output. Returns whether the board answered.
bool wait_for_boot(const std::function<bool()>& board_answers, std::chrono::nanoseconds limit);
