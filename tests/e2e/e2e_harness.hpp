// Whole-program test harness: runs the real visiondemo programs and the
// board_emulator program as child processes in a sandbox folder of their own,
// each demonstrator on a private virtual X server, and gives the tests what
// they need to watch and steer them: the captured console output, the
// window's id, keys and screenshots. Built once, as a library of its own.
//
// Sandbox layout (the programs open ../configuration and ../data relative to
// their working directory):
//   <tmp>/configuration/demo_parameters_windows.yaml   written by the test
//   <tmp>/data/                                        logos, weights and scaling
//                                                      parameters linked from the
//                                                      repository; scenes copied
//   <tmp>/run/                                         working directory, logs
//
// Every wait has a deadline; every child is killed and reaped when its owner
// goes out of scope.
#pragma once

#include "tests/support/child_process.hpp"
#include "tests/support/configuration_text.hpp"
#include "tests/support/poll.hpp"
#include "tests/support/shell.hpp"

#include <opencv2/core.hpp>

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using Process = test_support::ChildProcess;
using test_support::complete_lines;
using test_support::count_lines;
using test_support::describe_status;
using test_support::exited_with;
using test_support::find_line;
using test_support::have_tool;
using test_support::read_file;
using test_support::shell;
using test_support::write_file;

// ---------------------------------------------------------------- text

size_t count_matching(const std::vector<std::string>& lines, const std::regex& pattern);

// Messages of the libraries underneath (OpenCV's camera probing, Qt, the X
// server under xdotool) that are not the program's own, and the report of a
// machine whose socket limits keep the receive buffer small (the tests do
// not depend on it).
bool foreign_line(const std::string& line);

std::string tail(const std::string& text, size_t bytes = 3000);

// ---------------------------------------------------------------- X server

// A private virtual X server (Xvfb) for one test, so that windows, keys and
// screenshots of tests running in parallel never meet. Without Xvfb the
// ambient DISPLAY is used; without either there is no display.
class XServer {
public:
    explicit XServer(const fs::path& log_folder);
    ~XServer();

    bool available() const { return !display.empty(); }
    // A shell command run against this server.
    std::string run(const std::string& command) const;

    std::string display;

private:
    std::unique_ptr<Process> server;
};

// The output window of a demonstrator process on an X server.
class Window {
public:
    Window(const XServer& x, pid_t pid) : x(x), pid(pid) {}

    // Waits until the process has mapped its window named "output".
    bool find(std::chrono::milliseconds limit = 30s);
    // Keys go to this window itself (xdotool key names, e.g. "w", "Right").
    void keys(const std::string& names) const;
    // The window's content as an 8-bit BGR image (empty on failure).
    cv::Mat screenshot(const fs::path& file) const;

    std::string id;

private:
    const XServer& x;
    pid_t pid;
};

// ---------------------------------------------------------------- configuration

using Settings = test_support::ConfigurationSettings;
using test_support::configuration_text;

// ---------------------------------------------------------------- sandbox

fs::path repository();
fs::path repository_scenes();

class Sandbox {
public:
    Sandbox();
    ~Sandbox();

    // Copies sample scenes (file names without folder) into data/scenes.
    void add_scenes(const std::vector<std::string>& names);

    fs::path configuration() const { return root / "configuration" / "demo_parameters_windows.yaml"; }
    fs::path run() const { return root / "run"; }

    void write_configuration(const Settings& settings) { write_file(configuration(), configuration_text(settings)); }

    fs::path root;
    bool keep = false;
};

// ---------------------------------------------------------------- programs

const char* demo_binary(bool serial);

// board_emulator on an ephemeral port, configured by the sandbox's file, with
// its own check of the weights the demonstrator uploads.
class Emulator {
public:
    Emulator(const Sandbox& box, const std::vector<std::string>& flags);

    // Ends the emulator with SIGTERM and reads its summary: a demonstrator
    // that broke the protocol (protocol errors, malformed or refused
    // requests), lost datagrams to a pace above the board's, or ran the core
    // without the weights it expects fails here.
    ::testing::AssertionResult clean_summary();

    std::unique_ptr<Process> process;
    int port = 0;
};

// One demonstrator run in the sandbox. `display` empty: DISPLAY is removed.
std::unique_ptr<Process> start_demo(const Sandbox& box, bool serial, const std::string& display,
                                    const std::string& log_name = "demo",
                                    const std::vector<std::string>& arguments = {});

// ---------------------------------------------------------------- console formats

// A number printed fixed with 3 decimals in a field of at least 7 characters.
extern const std::string WIDE_NUMBER;
// The same, exactly 7 characters (values below 1000 ms).
extern const std::string NUMBER_7;

const std::regex& frame_line();
// "u: ... p: ... c: ... f: ... (w)  | " with the three sums captured.
const std::string& debug_prefix();
const std::regex& one_space_debug_line();
const std::regex& two_space_debug_line();
const std::regex& any_debug_line();
size_t frame_lines(const std::vector<std::string>& lines);
// The lines before the session summary the programs end with; all of them
// when there is none.
std::vector<std::string> before_summary(const std::vector<std::string>& lines);
// The value of one detail line of the session summary, -1 without it.
double summary_value(const std::vector<std::string>& lines, const std::string& name);

// ---------------------------------------------------------------- fixture

// One sandbox, one X server, one emulator and one demonstrator per test;
// the logs are shown when the test fails.
class DemoTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the emulator with `flags`, then writes the configuration with
    // its port.
    void start_emulator(Settings settings, const std::vector<std::string>& flags = {});
    // Starts the demonstrator on the private X server.
    void start(bool serial = false) { demo = start_demo(box, serial, x->display); }
    // Waits until the window is up and `frames` frame lines have been printed
    // after it appeared, so that it takes keys and shows the pipeline's canvas.
    ::testing::AssertionResult running(Window& window, size_t frames = 3);
    // Sends a key until the line it prints appears (a key sent while the
    // window is still being set up can be lost).
    bool press_until_line(Window& window, const std::string& key, const std::string& line);

    Sandbox box;
    std::unique_ptr<XServer> x;
    std::unique_ptr<Emulator> emulator;
    std::unique_ptr<Process> demo;
};

}  // namespace e2e
