#include "x_close.hpp"

#include <X11/Xlib.h>

void request_close(unsigned long window_id) {
    ::Display* x = XOpenDisplay(nullptr);
    if (x == nullptr) return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window_id;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window_id, False, NoEventMask, &event);
    XFlush(x);
    XCloseDisplay(x);
}
