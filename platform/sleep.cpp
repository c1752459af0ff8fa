#include "platform/sleep.hpp"

#include <cerrno>
#include <ctime>

void sleep_full(std::chrono::nanoseconds duration) {
    if (duration.count() <= 0) return;
    // Absolute deadline on the monotonic clock, so an interrupted sleep
    // resumes for exactly the time that is left.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long total = now.tv_nsec + static_cast<long long>(duration.count() % 1000000000LL);
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(duration.count() / 1000000000LL) + static_cast<time_t>(total / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(total % 1000000000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
