#include "pipeline/dynamic_wait.hpp"

#include "platform/sleep.hpp"

DynamicWait::DynamicWait(std::chrono::nanoseconds min_duration_, std::chrono::nanoseconds max_duration_,
                         std::chrono::nanoseconds initial_wait)
    : min_duration(min_duration_), max_duration(max_duration_), current_wait(initial_wait) {}

void DynamicWait::update_wait(std::chrono::nanoseconds measured) {
    if (measured > max_duration) {
        current_wait += measured - (max_duration + min_duration) / 2;
    } else if (measured < min_duration) {
        current_wait -= max_duration / 2;
        if (current_wait.count() < 0) current_wait = std::chrono::nanoseconds(0);
    }
}

void DynamicWait::wait() {
    if (current_wait.count() <= 0) return;
    sleep_full(current_wait);
}
