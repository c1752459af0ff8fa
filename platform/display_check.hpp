// Whether a window can be opened at all. The window library aborts the whole
// process when it cannot reach a display, so the program asks first.
#pragma once

#include <string>

// True when DISPLAY names an X server that accepts a connection, or when
// WAYLAND_DISPLAY names an existing Wayland socket. Otherwise false, with
// `checked` describing what was looked at (for the error's detail line).
bool display_available(std::string& checked);

// Returns when a display is available; otherwise raises exception_fatal with
// "ERROR: No display available" and a detail line naming the variables
// checked.
void require_display();
