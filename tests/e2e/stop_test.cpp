// A stop served at once where the program waits longest: start-up against a
// board that is not there, a board reset's boot wait, a core that no longer
// finishes. Each ends in order with status 0 within STOP_LIMIT of its signal
// or key, says what it cut short, and resets no board after the request.
#include "e2e_harness.hpp"

#include "platform/udp_socket.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <string>
#include <vector>

using namespace e2e;

namespace {

// The longest a stop may take: a second, plus one reply limit under way.
constexpr auto STOP_LIMIT = 2s;

constexpr int STATUS_BAND_ROWS = 44;

// The bottom rows of a canvas, where the status line is drawn.
cv::Mat status_band(const cv::Mat& shot) {
    if (shot.rows < STATUS_BAND_ROWS) return cv::Mat();
    return shot.rowRange(shot.rows - STATUS_BAND_ROWS, shot.rows).clone();
}

// Most of the band is the line's dark grey (the idle screen is white there).
bool has_status_line(const cv::Mat& shot) {
    const cv::Mat band = status_band(shot);
    if (band.empty()) return false;
    int dark = 0;
    for (int y = 0; y < band.rows; ++y)
        for (int x = 0; x < band.cols; ++x) dark += band.at<cv::Vec3b>(y, x)[0] < 80;
    return dark > band.rows * band.cols / 2;
}

// A port that was free a moment ago and is closed again: nothing listens there.
int unused_udp_port() {
    const udp_socket::Handle probe = udp_socket::open();
    sockaddr_in address{};
    udp_socket::make_address("127.0.0.1", 0, address);
    socklen_t length = sizeof(address);
    const bool bound = ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    udp_socket::close(probe);
    return bound ? ntohs(address.sin_port) : 9;
}

bool starts_a_line(const std::vector<std::string>& lines, const std::string& start) {
    for (const auto& line : lines)
        if (line.rfind(start, 0) == 0) return true;
    return false;
}

bool differ(const cv::Mat& a, const cv::Mat& b) { return a.size() != b.size() || cv::norm(a, b, cv::NORM_INF) > 0; }

}  // namespace

// Nothing listens at the board's address. Ctrl-C in the first boot wait ends
// the program at once instead of after two 16 s waits and an error.
TEST_F(DemoTest, CtrlCDuringStartUpAgainstNothingEndsAtOnce) {
    Settings settings;
    settings.udp_port = unused_udp_port();
    box.write_configuration(settings);
    start();
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return starts_a_line(l, "\tWAITING FOR RISCV BOOT"); }, 10s));
    demo->signal(SIGINT);
    const auto status = demo->wait_exit(STOP_LIMIT);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    const auto errors = demo->err_lines();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "INFO: stopped during start-up");
    EXPECT_EQ(count_lines(errors, "UDP Reset @ FPGA Init"), 1u);
}

// A core run that never finishes makes the program reset the board. During
// the boot wait the idle screen carries a status line counting down, and
// SIGTERM ends the wait, and the program, at once.
TEST_F(DemoTest, SigtermDuringABoardResetsBootWaitEndsAtOnce) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--stall-run", "8"});
    start();
    Window window(*x, demo->id());
    ASSERT_TRUE(window.find());
    ASSERT_TRUE(demo->wait_out(
        [](const auto& l) { return count_lines(l, "\tWAITING FOR RISCV BOOT (16 seconds)") == 1; }, 30s));

    const fs::path shot = box.run() / "boot_wait.png";
    cv::Mat first;
    EXPECT_TRUE(poll_until([&] { return has_status_line(first = window.screenshot(shot)); }, 5s));
    // The seconds left change: the line is redrawn while the wait goes on.
    EXPECT_TRUE(poll_until([&] { return differ(status_band(window.screenshot(shot)), status_band(first)); }, 3s));

    demo->signal(SIGTERM);
    const auto status = demo->wait_exit(STOP_LIMIT);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    const auto errors = demo->err_lines();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "INFO: stopped during a board reset");
    const auto lines = demo->out_lines();
    EXPECT_EQ(count_lines(lines, "\tWAITING DONE"), 0u);
    EXPECT_EQ(count_lines(lines, "UPLOADING WEIGHTS"), 1u);
}

// Escape once the core no longer finishes: the 29th frame line comes after
// the 30th run was started, which never finishes. The second the program
// then waits for it is the whole delay: the run is reported in one line,
// and the board is not reset for a program that ends.
TEST_F(DemoTest, EscapeWhileTheCoreStallsResetsNoBoard) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--stall-from", "30"});
    start();
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window, 1));
    ASSERT_TRUE(demo->wait_out([](const auto& l) { return frame_lines(l) >= 29; }, 30s));
    ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    const auto status = demo->wait_exit(STOP_LIMIT);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    EXPECT_EQ(count_lines(demo->out_lines(), "FPGA RESET REQUESTED"), 0u);
    const auto errors = demo->err_lines();
    EXPECT_EQ(count_lines(errors, "Caught exception"), 0u);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().rfind("INFO: stopped with the last core run unfinished: ", 0), 0u) << errors.back();
}
