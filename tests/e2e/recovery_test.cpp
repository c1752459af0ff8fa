// A board fault in the middle of a run, injected by the emulator program, with
// the programs' real limits: after a second without the core finishing the
// demonstrator resets the board (waiting 16 s for it to boot), uploads the
// weights again and carries on. An end asked for during the upload that follows is
// served at once. The other board faults that end in resets
// are run in-process with short limits (tests/app/main_loop_test.cpp).
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
    const auto all = demo->out_lines();
    EXPECT_EQ(summary_value(all, "board_resets"), 1);
    const auto lines = before_summary(all);
    EXPECT_EQ(other_lines(lines, find_line(lines, "FPGA RESET REQUESTED")), RESET_LINES);
    const auto errors = demo->err_lines();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "Caught exception");
    EXPECT_TRUE(std::regex_match(errors[1], std::regex(R"(Processing mode reset exception, timeout wait core done, )"
                                                       R"(framecount = \d+)")))
        << errors[1];
    EXPECT_EQ(counter("resets"), 1);
}

// The board stays silent for longer than its boot time after the reset, so
// the weight upload that follows waits for acknowledgements that do not
// come. Escape then ends the program at once: the upload gives up its
// retries and no further board reset is sent.
TEST_F(Recovery, EscapeDuringTheWeightUploadAfterAResetEndsAtOnce) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--stall-run", "8", "--boot-ms", "40000"});
    start();
    Window window(*x, demo->id());
    ASSERT_TRUE(window.find());
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return count_lines(l, "UPLOADING WEIGHTS") == 2; }, 40s));
    ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    // A second, plus the one acknowledgement wait under way.
    const auto status = demo->wait_exit(2s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    const auto errors = demo->err_lines();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "INFO: stopped during the weight upload");
    EXPECT_EQ(count_lines(errors, "UDP Reset @ FPGA Init"), 0u);
    EXPECT_EQ(counter("resets"), 1);
}
