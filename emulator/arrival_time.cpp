#include "emulator/arrival_time.hpp"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <time.h>

namespace board {

void enable_arrival_stamps(int sock) {
    // The first stamp query turns stamping on (and finds none yet); each
    // receive then keeps the stamp of the datagram it took for the query.
    timespec stamp{};
    ioctl(sock, SIOCGSTAMPNS, &stamp);
}

std::chrono::steady_clock::time_point arrival_time(int sock, std::chrono::steady_clock::time_point now) {
    timespec stamp{}, real{};
    if (ioctl(sock, SIOCGSTAMPNS, &stamp) != 0 || clock_gettime(CLOCK_REALTIME, &real) != 0) return now;
    // The stamp is on the real-time clock: carry its age over to the steady one.
    const auto age = std::chrono::seconds(real.tv_sec - stamp.tv_sec) +
                     std::chrono::nanoseconds(real.tv_nsec - stamp.tv_nsec);
    if (age.count() < 0 || age > std::chrono::seconds(1)) return now;
    return now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
}

}  // namespace board
