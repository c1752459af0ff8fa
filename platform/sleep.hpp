// Sleeps that last their whole duration even when a signal cuts the
// underlying system sleep short, and the thread's timer slack that decides
// how late such a sleep may end.
#pragma once

#include <chrono>

// Sleeps for `duration`; an interrupted sleep continues for the remaining time.
void sleep_full(std::chrono::nanoseconds duration);

// Sleeps until `deadline` on the steady clock; an interrupted sleep continues.
void sleep_until(std::chrono::steady_clock::time_point deadline);

// Lowers the calling thread's timer slack (the time the kernel may add to
// the end of a sleep to group wake-ups, 50 us by default) for the lifetime of
// the object, and restores the previous value after it.
class TimerSlack {
public:
    explicit TimerSlack(std::chrono::nanoseconds slack);
    ~TimerSlack();
    TimerSlack(const TimerSlack&) = delete;
    TimerSlack& operator=(const TimerSlack&) = delete;

private:
    long previous_;
};
