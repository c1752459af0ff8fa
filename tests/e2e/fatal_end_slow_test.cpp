// Ends with status 1 after in-loop board resets (each waits 16 s for the
// board): the program stops its threads, writes the lines and exits 1, never
// by a signal. Each case runs three times, with a fresh board each time.
#include "e2e_harness.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;

namespace {

class FatalEndAfterReset : public DemoTest {
protected:
    // Runs the demonstrator against a fresh board started with `flags`;
    // returns its exit status.
    std::optional<int> run_once(int run, bool serial, const std::vector<std::string>& flags) {
        start_emulator(Settings{}, flags);
        demo = start_demo(box, serial, x->display, "demo" + std::to_string(run));
        Window window(*x, demo->id());
        EXPECT_TRUE(window.find());
        return demo->wait_exit(200s);
    }
};

const bool SERIAL_RUNS[] = {false, true, false};

}  // namespace

// The board stops answering after the reset of a stalled core run, so the
// weights are never acknowledged again: its boot time outlasts all three
// upload attempts and the waits for the board between them (about a minute).
TEST_F(FatalEndAfterReset, WeightsRefusedAfterABoardResetEndTheProgramWithTheirLine) {
    box.add_scenes({"scene_01_1280x720.png"});
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const auto status = run_once(run, SERIAL_RUNS[run], {"--stall-run", "5", "--boot-ms", "600000"});
        EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
        EXPECT_EQ(count_lines(demo->out_lines(), "FPGA RESET REQUESTED"), 1u);
        const auto errors = demo->err_lines();
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.back(), "Unable to upload weights, please restart FPGA & check network settings");
    }
}

// A core that never finishes again: two board resets, then the program gives
// up with the stuck-loop line.
TEST_F(FatalEndAfterReset, StuckResetLoopEndsTheProgramWithItsLine) {
    box.add_scenes({"scene_01_1280x720.png"});
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const auto status = run_once(run, SERIAL_RUNS[run], {"--stall-from", "6"});
        EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
        EXPECT_EQ(count_lines(demo->out_lines(), "FPGA RESET REQUESTED"), 2u);
        const auto errors = demo->err_lines();
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.back(), "Stuck in reset loop. FPGA has been reset 3 or more times in a row");
    }
}
