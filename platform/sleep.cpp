#include "platform/sleep.hpp"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

namespace {

timespec as_timespec(long long nanoseconds) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000LL);
    value.tv_nsec = static_cast<long>(nanoseconds % 1000000000LL);
    return value;
}

void sleep_until_monotonic(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace

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
    sleep_until_monotonic(deadline);
}

void sleep_until(std::chrono::steady_clock::time_point deadline) {
    // The steady clock is CLOCK_MONOTONIC here, so its time points are the
    // kernel's absolute deadlines.
    const auto since_boot = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    if (since_boot.count() <= 0) return;
    sleep_until_monotonic(as_timespec(since_boot.count()));
}

TimerSlack::TimerSlack(std::chrono::nanoseconds slack) : previous_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
    const unsigned long wanted = slack.count() > 0 ? static_cast<unsigned long>(slack.count()) : 1UL;
    prctl(PR_SET_TIMERSLACK, wanted, 0, 0, 0);
}

TimerSlack::~TimerSlack() {
    // PR_SET_TIMERSLACK with 0 would mean "the process default", so restore
    // only a value that was read.
    if (previous_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_), 0, 0, 0);
}
