// Test helper: the receive buffer this process can get from the kernel, for
// tests that must hold whether or not the link gets the 1 MiB it wants. An
// ordinary user on a stock machine (net.core.rmem_max 212992, no
// CAP_NET_ADMIN) gets 425984 bytes, and the link warns about it.
#pragma once

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>

namespace receive_buffer {

// The size a fresh UDP socket starts with (net.core.rmem_default).
inline int default_size() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
    ::close(fd);
    return size;
}

// The size a UDP socket ends up with when it asks for `asked` bytes by every
// means it has: twice the request (the kernel doubles it for its own
// bookkeeping), or twice net.core.rmem_max where the process may not pass
// that cap.
inline int granted(int asked) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
    ::close(fd);
    return size;
}

// What the link ends up with for its 1 MiB: it keeps a default that large,
// and otherwise asks for twice that.
inline int link_size() {
    const int initial = default_size();
    return initial >= 1048576 ? initial : granted(2 * 1048576);
}

// True when the run has tests/support/stock_receive_limit.cpp preloaded.
inline bool stock_limit_preloaded() { return ::dlsym(RTLD_DEFAULT, "visiondemo_stock_rmem_max") != nullptr; }

// Error output without the link's warning that its receive buffer is too
// small, for tests whose subject is something else.
inline std::string without_small_buffer_warning(const std::string& text) {
    static const std::regex warning(
        "WARNING: Receive buffer size to small for stream reads\n"
        "\tDefault buffer size:\t {8}[0-9]+\n"
        "\tReceive buffer size:\t {8}[0-9]+\n"
        "\tDesired receive buffer size:\t[0-9]+\n");
    return std::regex_replace(text, warning, "");
}

}  // namespace receive_buffer
