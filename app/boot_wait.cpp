#include "app/boot_wait.hpp"

#include "platform/sleep.hpp"

#include <algorithm>
#include <iostream>

namespace {

// 16 for 16 s, 0.25 for 250 ms.
double seconds(std::chrono::nanoseconds duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

bool wait_for_boot(const std::function<bool()>& board_answers, std::chrono::nanoseconds limit) {
    using Clock = std::chrono::steady_clock;
    std::cout << "\tWAITING FOR RISCV BOOT (at most " << seconds(limit) << " seconds)" << std::endl;
    const Clock::time_point deadline = Clock::now() + limit;
    for (Clock::time_point question = Clock::now();;) {
        if (board_answers()) {
            std::cout << "\tWAITING DONE" << std::endl;
            return true;
        }
        // A question that waited its whole reply time is already a second
        // old: the next one goes at once.
        const Clock::time_point now = Clock::now();
        question = std::max(question + BOOT_PROBE_INTERVAL, now);
        if (question >= deadline) break;
        sleep_full(question - now);
    }
    std::cout << "\tNO ANSWER WITHIN " << seconds(limit) << " seconds" << std::endl;
    return false;
}
