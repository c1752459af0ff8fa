// The user's request to end the program (Escape, a closed window, Ctrl-C or
// SIGTERM), and the test the frame loops make before every cycle.
#pragma once

#include <stdexcept>
#include <string>

// Escape and a closed window: "CALLBACK STOP" and `stop`, and the program
// ends for good. Unlike `stop` alone, which a board reset, a source switch or
// `r` clear again to restart the loop, this request is never taken back.
void callback_end();

// The user asked the program to end: Escape, a closed window, Ctrl-C or
// SIGTERM. Stays true until the process ends.
bool end_requested();

// True when the frame loop should stop: `stop`, an end the user asked for
// (which a restart may have cleared `stop` under), or a fatal error another
// thread has handed over.
bool shutdown_requested();

// Raised where an end the user asked for cuts short what the program was
// doing (start-up, a board reset and its boot wait, the weight upload); main
// stops the threads, writes "INFO: stopped during " and what() on the error
// stream and returns 0, as after any orderly stop.
class stopped_during : public std::runtime_error {
public:
    explicit stopped_during(const std::string& moment) : std::runtime_error(moment) {}
};

// Raises stopped_during(moment) once the end has been asked for.
void end_if_requested(const char* moment);
