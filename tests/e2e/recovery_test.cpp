// Board faults in the middle of a run, injected by the emulator program: the
// demonstrator resets the board (waiting 16 s for it to boot), uploads the
// weights again and carries on, or gives up after two resets in a row.
#include "e2e_harness.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <regex>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// The lines of one board reset, from the request to the restart.
const std::vector<std::string> RESET_LINES{
    "FPGA RESET REQUESTED",   "\tSENDING RESET COMMAND", "\tRESET COMMAND SENT",
    "\tWAITING FOR RISCV BOOT (16 seconds)", "\tWAITING DONE", "UPLOADING WEIGHTS",
    "UPLOADING WEIGHTS DONE", "START/RESTART (source switch)", "INITIAL UPLOAD AND START DONE  "};

// The lines from index `from` on that are not frame lines.
std::vector<std::string> other_lines(const std::vector<std::string>& lines, size_t from) {
    std::vector<std::string> other;
    for (size_t i = from; i < lines.size(); ++i)
        if (!std::regex_match(lines[i], frame_line())) other.push_back(lines[i]);
    return other;
}

size_t frames_after(const std::vector<std::string>& lines, const std::string& marker, size_t occurrence) {
    size_t at = std::string::npos;
    for (size_t n = 0, from = 0; n < occurrence; ++n, from = at + 1) {
        at = find_line(lines, marker, from);
        if (at == std::string::npos) return 0;
    }
    return frame_lines({lines.begin() + at, lines.end()});
}

class Recovery : public DemoTest {
protected:
    // The emulator's summary counter `name` after it has been stopped.
    long counter(const std::string& name) {
        emulator->process->signal(SIGINT);
        if (!emulator->process->wait_exit(10s)) return -1;
        std::smatch m;
        const std::string summary = emulator->process->out();
        if (!std::regex_search(summary, m, std::regex(name + R"(: (\d+))"))) return -1;
        return std::stol(m[1]);
    }
};

}  // namespace

// The core does not finish one run: after a second of polling the cycle
// fails, the board is reset once, and frames flow again.
TEST_F(Recovery, CoreStallingOnceCostsOneBoardReset) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--stall-run", "8"});
    start();
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return count_lines(l, "FPGA RESET REQUESTED") == 1; }, 30s));
    const auto reset_seen = Clock::now();
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return count_lines(l, "\tWAITING DONE") == 1; }, 40s));
    // The board gets its full boot time.
    EXPECT_GE(Clock::now() - reset_seen, 15900ms);
    ASSERT_TRUE(demo->wait_out(
        [](const auto& l) { return frames_after(l, "INITIAL UPLOAD AND START DONE  ", 2) >= 5; }, 30s));

    demo->signal(SIGTERM);
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    const auto lines = demo->out_lines();
    EXPECT_EQ(other_lines(lines, find_line(lines, "FPGA RESET REQUESTED")), RESET_LINES);
    const auto errors = demo->err_lines();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "Caught exception");
    EXPECT_TRUE(std::regex_match(errors[1], std::regex(R"(Processing mode reset exception, timeout wait core done, )"
                                                       R"(framecount = \d+)")))
        << errors[1];
    EXPECT_EQ(counter("resets"), 1);
}

// A core that never finishes again: three failed cycles in a row, two board
// resets between them, then the program gives up with status 1.
TEST_F(Recovery, CoreNeverFinishingGivesUpAfterTwoResets) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--stall-from", "6"});
    start();
    const auto status = demo->wait_exit(120s);
    EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
    const auto lines = demo->out_lines();
    EXPECT_EQ(count_lines(lines, "FPGA RESET REQUESTED"), 2u);
    EXPECT_EQ(count_lines(lines, "START/RESTART (source switch)"), 3u);
    const auto errors = demo->err_lines();
    EXPECT_EQ(count_lines(errors, "Caught exception"), 3u);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "Stuck in reset loop. FPGA has been reset 3 or more times in a row");
    EXPECT_EQ(counter("resets"), 2);
}

// The board stops answering in the middle of the stream until it gets the
// reset command: one reset brings it back.
TEST_F(Recovery, SilentBoardComesBackAfterTheResetCommand) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--silent-after", "3000"});
    start();
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return count_lines(l, "FPGA RESET REQUESTED") == 1; }, 60s));
    // Frames before the silence, and again after the reset.
    EXPECT_GE(frames_after(demo->out_lines(), "INITIAL UPLOAD AND START DONE  ", 1), 5u);
    ASSERT_TRUE(demo->wait_out(
        [](const auto& l) { return frames_after(l, "INITIAL UPLOAD AND START DONE  ", 2) >= 5; }, 60s));

    demo->signal(SIGINT);
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    const auto lines = demo->out_lines();
    EXPECT_EQ(count_lines(lines, "FPGA RESET REQUESTED"), 1u);
    EXPECT_EQ(other_lines(lines, find_line(lines, "FPGA RESET REQUESTED")), RESET_LINES);
    EXPECT_EQ(count_lines(demo->err_lines(), "Caught exception"), 1u);
    EXPECT_EQ(counter("resets"), 1);
}
