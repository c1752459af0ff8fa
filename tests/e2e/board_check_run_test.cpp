// board_check before a show: against the board_emulator program every check
// passes, and the demonstrator started right after it shows frames.
#include "e2e_harness.hpp"

#include <sys/wait.h>

using namespace e2e;

// Faults: a check that leaves the board in a state the demonstrator trips
// over (weights missing, the core armed or running, a buffer set it does not
// expect), or that reports a healthy board as failing.
TEST_F(DemoTest, BoardCheckPassesAndTheDemonstratorRunsRightAfter) {
    box.add_scenes({"scene_01_1280x720.png"});
    // The check overruns the board's intake on purpose while it looks for
    // the highest rate; the intake model stays off so that the summary only
    // counts what the demonstrator does.
    start_emulator(Settings(), {"--drain-mibps", "0"});
    Process::Options options;
    options.argv = {BOARD_CHECK_BIN, "--config", box.configuration().string(), "--weights", "--json", "check.json"};
    options.cwd = box.run();
    options.out = box.run() / "check.out";
    options.err = box.run() / "check.err";
    Process check(options);
    const auto status = check.wait_exit(60s);
    ASSERT_TRUE(exited_with(status, 0)) << describe_status(status);
    const std::vector<std::string> lines = check.out_lines();
    ASSERT_FALSE(lines.empty());
    for (const char* name : {"reach", "replies", "registers", "memory", "throughput", "core run", "limits"}) {
        const std::regex passed(std::string("PASS  ") + name + " +\\S.*");
        EXPECT_EQ(count_matching(lines, passed), 1u) << name << "\n" << check.out();
    }
    EXPECT_EQ(lines.back(), "verdict: PASS -- the board, the link and the settings will hold");

    start();
    Window window(*x, demo->id());
    EXPECT_TRUE(running(window));
    EXPECT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    EXPECT_TRUE(exited_with(demo->wait_exit(20s), 0));
}
