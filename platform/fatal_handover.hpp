// Hands a fatal error from a thread that cannot end the program (the window
// thread, a source's thread) to the main thread, which rethrows it at its
// next check and ends the program in order.
#pragma once

#include <exception>

// Keeps `error` unless one is kept already (the first error is the one
// reported), then runs the notify function, if one is set.
void hand_over_fatal(std::exception_ptr error);

// For a catch block on a worker thread: hands over the error being handled,
// an exception_fatal as it is, any other error as an exception_fatal with the
// line "ERROR: <where>: <what>".
void hand_over_current_error(const char* where);

// True while an error is kept.
bool fatal_handed_over();

// Rethrows the kept error on the calling thread and forgets it; does nothing
// when none is kept.
void rethrow_handed_over_fatal();

// Sets the function run after an error has been handed over (for example one
// that asks the frame loop to stop). It runs on the thread that hands over,
// so it must only store flags.
void set_fatal_notify(void (*notify)());

