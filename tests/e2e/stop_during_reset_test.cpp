// A stop asked for while the demonstrator waits for a reset board to boot is
// not lost: the wait and the weight upload finish, and the program ends in
// order with status 0 instead of restarting the loop (with no window).
#include "e2e_harness.hpp"

#ifdef VD_TEST_HAS_X11
#include "tests/display/x_close.hpp"
#endif

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <string>

using namespace e2e;

namespace {

enum class StopBy { Escape, CloseWindow, Sigterm };

std::string describe(StopBy by) {
    switch (by) {
        case StopBy::Escape:
            return "Escape";
        case StopBy::CloseWindow:
            return "ClosedWindow";
        default:
            return "SIGTERM";
    }
}

std::string stop_name(const testing::TestParamInfo<StopBy>& info) { return describe(info.param); }
void PrintTo(StopBy by, std::ostream* out) { *out << describe(by); }

class StopDuringReset : public DemoTest, public testing::WithParamInterface<StopBy> {};

TEST_P(StopDuringReset, EndsWithStatusZeroOnceTheBoardIsBack) {
#ifndef VD_TEST_HAS_X11
    if (GetParam() == StopBy::CloseWindow) GTEST_SKIP() << "built without X11: no close request";
#endif
    box.add_scenes({"scene_01_1280x720.png"});
    // The 8th core run never finishes: the board is reset in the middle of the run.
    start_emulator(Settings{}, {"--stall-run", "8"});
    start();
    Window window(*x, demo->id());
    // Only the window is awaited here, not frames after it: on a slow machine
    // the stalled run can come before the window is found, and the next
    // frame only after the boot wait this test must stop in.
    ASSERT_TRUE(window.find());
    ASSERT_TRUE(demo->wait_out(
        [](const auto& l) { return count_lines(l, "\tWAITING FOR RISCV BOOT (16 seconds)") == 1; }, 30s));

    switch (GetParam()) {
        case StopBy::Escape:
            ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
            break;
        case StopBy::CloseWindow:
#ifdef VD_TEST_HAS_X11
            ::setenv("DISPLAY", x->display.c_str(), 1);
            request_close(std::stoul(window.id));
            ASSERT_TRUE(demo->wait_out([](const auto& l) { return count_lines(l, "CALLBACK STOP") == 1; }, 5s));
#endif
            break;
        case StopBy::Sigterm:
            demo->signal(SIGTERM);
            break;
    }
    // The stop came during the boot wait, which runs its full time.
    EXPECT_EQ(count_lines(demo->out_lines(), "\tWAITING DONE"), 0u);
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return count_lines(l, "\tWAITING DONE") == 1; }, 30s));
    const auto status = demo->wait_exit(10s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);

    const auto lines = demo->out_lines();
    const size_t done = find_line(lines, "\tWAITING DONE");
    ASSERT_NE(done, std::string::npos);
    // The weights go back up, and the loop is not started again.
    EXPECT_EQ(std::vector<std::string>(lines.begin() + done + 1, lines.end()),
              (std::vector<std::string>{"UPLOADING WEIGHTS", "UPLOADING WEIGHTS DONE"}));
    EXPECT_EQ(count_lines(lines, "START/RESTART (source switch)"), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryWayToStop, StopDuringReset,
                         testing::Values(StopBy::Escape, StopBy::CloseWindow, StopBy::Sigterm), stop_name);

}  // namespace
