#include "app/boot_wait.hpp"

#include "app/end_request.hpp"
#include "display/status_line.hpp"
#include "link/quiet_reports.hpp"
#include "platform/end_wait.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex board_mutex;
std::string board_name;

// 16 for 16 s, 0.25 for 250 ms.
double seconds(std::chrono::nanoseconds duration) { return std::chrono::duration<double>(duration).count(); }

std::string named_board() {
    std::lock_guard<std::mutex> lock(board_mutex);
    return board_name.empty() ? std::string() : " at " + board_name;
}

}  // namespace

void name_board_for_waits(const std::string& address, uint16_t port) {
    std::lock_guard<std::mutex> lock(board_mutex);
    board_name = address + " port " + std::to_string(port);
}

bool wait_for_boot(const std::function<bool()>& board_answers, std::chrono::nanoseconds limit) {
    std::cout << "\tWAITING FOR RISCV BOOT (at most " << seconds(limit) << " seconds)" << named_board()
              << ", Ctrl-C stops" << std::endl;
    const Clock::time_point deadline = Clock::now() + limit;
    const ShowStatus status("Waiting for the board to boot", deadline);
    Clock::time_point progress = Clock::now() + BOOT_PROGRESS_INTERVAL;
    for (Clock::time_point question = Clock::now();;) {
        if (end_requested()) return false;
        bool answered = false;
        {
            const QuietLinkReports quiet;
            answered = board_answers();
        }
        if (answered) {
            std::cout << "\tWAITING DONE" << std::endl;
            return true;
        }
        // A question that waited its whole reply time is already a second
        // old: the next one goes at once.
        const Clock::time_point now = Clock::now();
        question = std::max(question + BOOT_PROBE_INTERVAL, now);
        if (question >= deadline) break;
        if (now >= progress) {
            std::cout << "\tstill waiting, " << std::ceil(seconds(deadline - now)) << " seconds left" << std::endl;
            progress = now + BOOT_PROGRESS_INTERVAL;
        }
        if (end_wait_for(question - now)) return false;
    }
    if (end_requested()) return false;
    std::cout << "\tNO ANSWER WITHIN " << seconds(limit) << " seconds" << std::endl;
    return false;
}

bool sleep_for_boot(std::chrono::nanoseconds duration) {
    const ShowStatus status("Waiting for the board to boot", Clock::now() + duration);
    return !end_wait_for(duration);
}
