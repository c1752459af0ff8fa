#include "platform/end_wait.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

using Clock = std::chrono::steady_clock;

// A pipe that is written once and never read: from then on its read end
// stays readable, so every poll on it returns at once. Made before main.
struct WakePipe {
    WakePipe() {
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
    }
    int fds[2];
};

const WakePipe wake_pipe;

}  // namespace

void end_wake() {
    if (wake_pipe.fds[1] < 0) return;
    const int saved_errno = errno;
    const char byte = 1;
    // A full pipe is readable already; nothing else can go wrong that matters.
    [[maybe_unused]] const ssize_t written = ::write(wake_pipe.fds[1], &byte, 1);
    errno = saved_errno;
}

bool end_wait_for(std::chrono::nanoseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    pollfd readable{wake_pipe.fds[0], POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        const int ready = ::poll(&readable, 1, timeout);
        if (ready > 0) return true;
        // A signal cuts the poll short; the time left is waited again. (Without
        // a pipe, poll ignores the entry and still waits out the time.)
        if (Clock::now() >= deadline) return false;
    }
}
