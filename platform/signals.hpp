// Ctrl-C (SIGINT) and SIGTERM ask the program to stop the way the Escape key
// does; a second one, while the program is still shutting down, ends the
// process at once.
#pragma once

// Installs the handlers. `on_first_signal` runs inside the signal handler, so
// it may only do async-signal-safe work (storing lock-free atomics). The
// first signal also ends the long waits under way (end_wake).
void install_stop_signals(void (*on_first_signal)());

// True once a stop signal has arrived.
bool stop_signal_received();
