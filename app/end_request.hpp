// The user's request to end the program (Escape, a closed window, Ctrl-C or
// SIGTERM), and the test the frame loops make before every cycle.
#pragma once

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
