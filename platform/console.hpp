// Console stand-ins: the "press a key" wait at shutdown and a raw read of one
// key without echo.
#pragma once

// Waits for one key press when standard input is a terminal, after printing
// "Press any key to continue . . . "; returns at once otherwise, so scripts
// and CI never hang on it.
void console_pause();

// Reads one key from the terminal on standard input without echo and without
// waiting for a line end; returns its byte (0..255). The terminal settings
// are restored on every exit path, also when the read is ended by SIGINT,
// SIGTERM, SIGQUIT or SIGHUP (the signal is then delivered as before).
// Returns -1 when standard input is not a terminal, at end of input, or when
// such a signal interrupted the read and the process went on.
int console_getch();
