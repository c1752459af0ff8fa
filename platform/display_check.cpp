#include "platform/display_check.hpp"

#include "platform/fatal_error.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool connect_unix(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;  // abstract names start with a NUL byte
    if (path.size() + offset >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

// TCP connect with a bound wait (a remote X server over the network).
bool connect_tcp(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return false;
    bool ok = false;
    for (addrinfo* entry = list; entry && !ok; entry = entry->ai_next) {
        const int fd = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, entry->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, entry->ai_addr, entry->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd waiter{fd, POLLOUT, 0};
            int error = 0;
            socklen_t size = sizeof(error);
            ok = ::poll(&waiter, 1, 2000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(list);
    return ok;
}

// DISPLAY has the form [host]:number[.screen]. An empty host (or "unix")
// means the local socket of that display number. Forms this does not
// understand are left to the window library.
bool x_server_answers(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) return true;
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    const size_t dot = number.find('.');
    if (dot != std::string::npos) number.resize(dot);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 5) return true;
    if (host.find('/') != std::string::npos) {
        // A socket path (as some launchers set it): the path names the socket.
        return connect_unix(display, false);
    }
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + number;
        return connect_unix(path, true) || connect_unix(path, false);
    }
    return connect_tcp(host, 6000 + std::stoi(number));
}

bool wayland_socket_exists(const std::string& name) {
    std::string path = name;
    if (path.empty() || path[0] != '/') {
        const std::string runtime = environment("XDG_RUNTIME_DIR");
        if (runtime.empty()) return false;
        path = runtime + "/" + name;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

bool display_available(std::string& checked) {
    const std::string x_display = environment("DISPLAY");
    const std::string wayland = environment("WAYLAND_DISPLAY");
    if (!x_display.empty() && x_server_answers(x_display)) {
        checked.clear();
        return true;
    }
    if (!wayland.empty() && wayland_socket_exists(wayland)) {
        checked.clear();
        return true;
    }
    checked = x_display.empty() ? "DISPLAY (not set)" : "DISPLAY=" + x_display + " (no X server answers)";
    checked += wayland.empty() ? " and WAYLAND_DISPLAY (not set)" : " and WAYLAND_DISPLAY=" + wayland + " (no such socket)";
    return false;
}

void require_display() {
    std::string checked;
    if (display_available(checked)) return;
    throw exception_fatal({"ERROR: No display available", "\tChecked:\t" + checked});
}
