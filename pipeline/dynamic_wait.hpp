// An adaptive sleep for a loop that paces itself: the wait grows when the
// measured time is above the band and shrinks when it is below. No stage of
// the programs paces itself this way at present.
#pragma once

#include <chrono>

class DynamicWait {
public:
    DynamicWait(std::chrono::nanoseconds min_duration, std::chrono::nanoseconds max_duration,
                std::chrono::nanoseconds initial_wait);
    void update_wait(std::chrono::nanoseconds measured);
    void wait();
    std::chrono::nanoseconds get_wait() const { return current_wait; }

private:
    std::chrono::nanoseconds min_duration;
    std::chrono::nanoseconds max_duration;
    std::chrono::nanoseconds current_wait;
};
