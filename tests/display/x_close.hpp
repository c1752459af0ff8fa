// Sends a window the close request a window manager sends for its close button.
#pragma once

void request_close(unsigned long window_id);
