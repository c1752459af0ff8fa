#include "emulator/arrival_time.hpp"

#include <cstring>
#include <time.h>

namespace board {

void enable_arrival_stamps(int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

std::chrono::steady_clock::time_point arrival_time(const msghdr& message, std::chrono::steady_clock::time_point now) {
    for (cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(&message)); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{}, real{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        if (clock_gettime(CLOCK_REALTIME, &real) != 0) return now;
        // The stamp is on the real-time clock: carry its age over to the steady one.
        const auto age = std::chrono::seconds(real.tv_sec - stamp.tv_sec) +
                         std::chrono::nanoseconds(real.tv_nsec - stamp.tv_nsec);
        if (age.count() < 0 || age > std::chrono::seconds(1)) return now;
        return now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
    }
    return now;
}

}  // namespace board
