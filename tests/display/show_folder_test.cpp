// The folder viewer as a whole program in a window: arrow keys step through
// the images, Escape ends it with status 0.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "tests/support/poll.hpp"
#include "tests/support/shell.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

using namespace std::chrono_literals;

extern char** environ;

namespace {

using test_support::have_tool;
using test_support::shell;


std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A little scene per image: sky, ground and a numbered box.
void write_scene(const std::string& path, int k) {
    cv::Mat scene(240, 320, CV_8UC3, cv::Scalar(230, 180, 120));
    scene(cv::Rect(0, 160, 320, 80)).setTo(cv::Scalar(60, 140, 60));
    cv::rectangle(scene, cv::Rect(40 + 60 * k, 100, 80, 90), cv::Scalar(40, 40, 200), cv::FILLED);
    cv::putText(scene, "scene " + std::to_string(k), cv::Point(20, 40), cv::FONT_HERSHEY_SIMPLEX, 1.0,
                cv::Scalar(0, 0, 0), 2);
    ASSERT_TRUE(cv::imwrite(path, scene));
}

std::string window_id;

// Sent to the viewer's window itself, whatever else runs on the X server.
void key(const std::string& names) {
    shell("xdotool key --window " + window_id + " --delay 30 " + names + " 2>/dev/null");
}

}  // namespace

TEST(ShowFolder, ArrowKeysStepThroughTheScenesAndEscapeEndsTheProgram) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
    if (!have_tool("xdotool")) GTEST_SKIP() << "xdotool is not installed";

    std::string folder = testing::TempDir() + "vd_show_folder_XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    write_scene(folder + "/scene_b.JPG", 1);
    write_scene(folder + "/scene_a.jpg", 0);
    write_scene(folder + "/scene_c.jpg", 2);
    const std::string output = folder + "/output.txt";

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string program = SHOW_FOLDER_PROGRAM;
    char* arguments[] = {const_cast<char*>(program.c_str()), folder.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, program.c_str(), &files, nullptr, arguments, environ), 0);
    posix_spawn_file_actions_destroy(&files);

    // The last line the program printed: the image it shows now.
    const auto showing = [&](const std::string& line, std::chrono::milliseconds limit = 15000ms) {
        return poll_until(
            [&] {
                const std::string text = read_file(output);
                const size_t end = text.size();
                if (end < 2) return false;
                const size_t start = text.rfind('\n', end - 2);
                return text.substr(start == std::string::npos ? 0 : start + 1) == line;
            },
            limit);
    };
    EXPECT_TRUE(showing("0\tscene_a.jpg\n"));
    ASSERT_TRUE(poll_until([] {
        const std::string found = shell("xdotool search --onlyvisible --name '^glob$' 2>/dev/null");
        window_id = found.substr(0, found.find('\n'));
        return !window_id.empty();
    }, 15000ms));
    // Right until the second scene shows (the first keys may come before the
    // window listens), then step on, wrap round and back.
    EXPECT_TRUE(poll_until([&] {
        key("Right");
        return showing("1\tscene_b.JPG\n", 1000ms);
    }, 15000ms));
    key("Right");
    EXPECT_TRUE(showing("2\tscene_c.jpg\n"));
    key("Right");
    EXPECT_TRUE(showing("0\tscene_a.jpg\n"));
    key("Left");
    EXPECT_TRUE(showing("2\tscene_c.jpg\n"));
    key("Escape");

    int status = -1;
    const bool ended = poll_until([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 15000ms);
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << read_file(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(output);
    EXPECT_NE(read_file(output).find("Stopped\n"), std::string::npos);
    std::filesystem::remove_all(folder);
}
