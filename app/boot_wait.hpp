// Waiting for a board that has just been sent its reset command: it answers
// nothing until its processor has booted again, which takes up to 16 s.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// The longest a board takes to boot after its reset command.
constexpr std::chrono::seconds BOARD_BOOT_TIME{16};

// How often a booting board is asked whether it is up.
constexpr std::chrono::seconds BOOT_PROBE_INTERVAL{1};

// How often a wait says that it is still waiting.
constexpr std::chrono::seconds BOOT_PROGRESS_INTERVAL{5};

// The board's address and port, named by the first line of every later wait.
void name_board_for_waits(const std::string& address, uint16_t port);

// Asks `board_answers` at once and then once a second, counted from the
// start of each question, until it returns true or `limit` has passed: a
// question is only started before the limit, so the wait ends at most one
// question's time after it. Each question waits for its own reply; the
// link's lines of a question are left out. Prints, on standard output,
// "\tWAITING FOR RISCV BOOT (at most N seconds)", the board's address and
// port when named, and that Ctrl-C stops, before the first question; at most
// one "\tstill waiting, N seconds left" line every 5 s; and "\tWAITING DONE"
// or "\tNO ANSWER WITHIN N seconds" at the end. The idle screen says how long
// the wait has left. Returns whether the board answered; false at once,
// without the last line, when the end of the program is asked for.
bool wait_for_boot(const std::function<bool()>& board_answers, std::chrono::nanoseconds limit);

// A wait of `duration` for a board to boot that asks it nothing, with the
// seconds left on the idle screen; false, early, when the end of the program
// is asked for.
bool sleep_for_boot(std::chrono::nanoseconds duration);
