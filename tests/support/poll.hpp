// Waiting for a condition that another thread or process makes true: the
// condition is looked at again and again until it holds or the limit has
// passed, never longer.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

// Looks at `done` until it holds (true) or `limit` has passed (false, after
// one last look). The pause between looks starts at 0.2 ms, so a condition
// about to hold is seen at once, and grows to 10 ms, so a long wait costs
// little processor time.
template <class Condition>
bool poll_until(Condition&& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::chrono::microseconds pause(200);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
    return true;
}
