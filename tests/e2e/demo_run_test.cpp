// The whole demonstrator against the board emulator: start-up to running,
// the canvas it shows, the console lines, stopping by key and by signal, the
// unusable initial sources and a board whose status register reads busy.
#include "e2e_harness.hpp"
#include "canvas_check.hpp"

#include "tools/sample_data.hpp"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <signal.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// Checks that `lines` start with the start-up lines of a board answering
// with `version`, up to the first restart; returns the index after them.
size_t expect_startup_lines(const std::vector<std::string>& lines, int version) {
    const std::vector<std::string> first{"Starting client application", "Socket init success"};
    size_t i = 0;
    for (const auto& expected : first) {
        EXPECT_LT(i, lines.size());
        if (i >= lines.size()) return i;
        EXPECT_EQ(lines[i], expected) << "line " << i;
        ++i;
    }
    // The receive-buffer report depends on the machine's socket limits.
    const std::regex info_detail(R"(\t(Default buffer size:\t {8}|Receive buffer size:\t {8}|)"
                                 R"(Desired receive buffer size:\t)\d+)");
    if (i < lines.size() && lines[i] == "INFO: Receive buffer size acceptable for stream reads") ++i;
    while (i < lines.size() && !lines[i].empty() && lines[i][0] == '\t') {
        EXPECT_TRUE(std::regex_match(lines[i], info_detail)) << lines[i];
        ++i;
    }
    const std::vector<std::string> rest{"Version " + std::to_string(version), "UPLOADING WEIGHTS",
                                        "UPLOADING WEIGHTS DONE", "START/RESTART (source switch)",
                                        "INITIAL UPLOAD AND START DONE  "};
    for (const auto& expected : rest) {
        EXPECT_LT(i, lines.size());
        if (i >= lines.size()) return i;
        EXPECT_EQ(lines[i], expected) << "line " << i;
        ++i;
    }
    return i;
}

double number(const std::string& text) { return std::stod(text); }

struct Form {
    const char* name;
    bool serial;
    int memory_spaces;
    const char* scene;
    const char* fit;
};

std::ostream& operator<<(std::ostream& out, const Form& form) { return out << form.name; }

class DemoRun : public DemoTest, public testing::WithParamInterface<Form> {};

}  // namespace

// One scene in a folder of its own: the canvas shows it placed by the fit
// rules with an outline in the class colour around every object, the console
// shows the start-up lines, then only frame lines (and the debug lines of
// the loop's form), and Escape ends the program with status 0.
TEST_P(DemoRun, ShowsTheSceneWithBoxesAndStopsOnEscape) {
    const Form form = GetParam();
    box.add_scenes({std::string(form.scene) + ".png"});
    Settings settings;
    settings.memory_spaces = form.memory_spaces;
    settings.data_fit = form.fit;
    settings.debug = true;
    start_emulator(settings, {"--version", "5"});
    start(form.serial);

    Window window(*x, demo->id());
    ASSERT_TRUE(running(window, 5));
    const cv::Mat canvas = window.screenshot(box.run() / "canvas.png");
    ASSERT_EQ(canvas.cols, CANVAS_WIDTH);
    ASSERT_EQ(canvas.rows, CANVAS_HEIGHT);
    const std::string scene_path = (repository_scenes() / (std::string(form.scene) + ".png")).string();
    const cv::Mat frame = cv::imread(scene_path, cv::IMREAD_COLOR);
    const auto objects = sample_data::read_ground_truth(sample_data::ground_truth_path(scene_path));
    ASSERT_FALSE(objects.empty());

    // The padding around the scaled frame is plain grey (214, 214, 214).
    const Placement p = place(frame.cols, frame.rows);
    const cv::Vec3b grey(214, 214, 214);
    if (p.left > 0) {
        EXPECT_TRUE(same_colour(canvas.at<cv::Vec3b>(CANVAS_HEIGHT / 4, p.left / 2), grey, 0));
        EXPECT_FALSE(same_colour(canvas.at<cv::Vec3b>(CANVAS_HEIGHT / 4, p.left + 3), grey, 0));
    }
    if (p.top > 0) {
        EXPECT_TRUE(same_colour(canvas.at<cv::Vec3b>(p.top / 2, CANVAS_WIDTH / 2), grey, 0));
        EXPECT_FALSE(same_colour(canvas.at<cv::Vec3b>(p.top + 3, CANVAS_WIDTH / 2), grey, 0));
    }
    const BoxCheck boxes = check_boxes(canvas, frame, objects);
    EXPECT_TRUE(boxes.ok) << boxes.report;

    ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);

    const auto lines = before_summary(demo->out_lines());
    size_t i = expect_startup_lines(lines, 5);
    // The serial program's timing records have only the fields of the
    // one-space line, which it writes in both forms.
    const std::regex& own_debug =
        form.memory_spaces == 1 || form.serial ? one_space_debug_line() : two_space_debug_line();
    const std::regex debug_prefix_only(debug_prefix() + ".*");
    size_t frames = 0, debug_lines = 0, stops = 0, frames_after_stop = 0;
    for (; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::smatch m;
        if (std::regex_match(line, frame_line())) {
            ++frames;
            frames_after_stop += stops;
        } else if (std::regex_match(line, m, debug_prefix_only)) {
            ++debug_lines;
            EXPECT_TRUE(std::regex_match(line, own_debug)) << line;
            // c is the sum of u and p, each rounded to the microsecond.
            EXPECT_NEAR(number(m[3]), number(m[1]) + number(m[2]), 0.0015) << line;
        } else if (line == "CALLBACK STOP") {
            ++stops;
        } else {
            ADD_FAILURE() << "unexpected line " << i << ": " << line;
        }
    }
    EXPECT_GE(frames, 5u);
    EXPECT_GE(debug_lines + 1, frames);
    EXPECT_EQ(stops, 1u);
    // The key takes effect at the next cycle boundary: the cycle in progress
    // may still end, no later one starts.
    EXPECT_LE(frames_after_stop, 1u);
    EXPECT_EQ(demo->err_lines(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Forms, DemoRun,
                         testing::Values(Form{"TwoSpaces", false, 2, "scene_11_2048x512", "crop"},
                                         Form{"OneSpace", false, 1, "scene_10_480x640", "box"},
                                         Form{"SerialTwoSpaces", true, 2, "scene_11_2048x512", "crop"},
                                         Form{"SerialOneSpace", true, 1, "scene_10_480x640", "box"}),
                         [](const testing::TestParamInfo<Form>& info) { return std::string(info.param.name); });

namespace {

class StopSignal : public DemoTest, public testing::WithParamInterface<int> {};

}  // namespace

// Ctrl-C and SIGTERM end the run the way Escape does: the cycle in progress
// ends, the program shuts down in order (a thread left running would abort
// it) and returns 0, with nothing on the error stream.
TEST_P(StopSignal, EndsTheRunInOrderWithStatusZero) {
    box.add_scenes({"scene_01_1280x720.png", "scene_02_1920x1080.png"});
    start_emulator(Settings{});
    start();
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window));

    demo->signal(GetParam());
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
    // The session summary comes last; a board without faults cost no
    // time-outs and no attempts again.
    const auto all = demo->out_lines();
    EXPECT_EQ(summary_value(all, "reply_timeouts"), 0) << tail(demo->out());
    EXPECT_EQ(summary_value(all, "attempts_retried"), 0);
    EXPECT_GT(summary_value(all, "canvases_shown"), 0);
    const auto lines = before_summary(all);
    const size_t start = find_line(lines, "INITIAL UPLOAD AND START DONE  ");
    ASSERT_NE(start, std::string::npos);
    for (size_t i = start + 1; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], frame_line())) << "line " << i << ": " << lines[i];
    EXPECT_EQ(count_lines(lines, "START/RESTART (source switch)"), 1u);
    EXPECT_EQ(demo->err_lines(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "Interrupt" : "Terminate");
                         });

// A data source that cannot be used ends the program with status 1 and its
// lines after start-up, before the frame loop starts and before any window
// is opened (the runs have no display: opening one would show). An empty
// path is such a source, not a crash (an empty video path once left the
// video source out of the list the first source is taken from) nor the
// root folder.
TEST_F(DemoTest, UnusableInitialSourcesStopBeforeAnyWindow) {
    box.add_scenes({"scene_01_1280x720.png"});
    Settings settings;
    settings.path_video = "../data/missing.mkv";
    start_emulator(settings);
    struct Case {
        const char* data_source;
        std::vector<std::string> expected;
        // A path key written with an empty value.
        std::string empty_key;
    };
    const std::vector<Case> cases{
        {"video",
         {"ERROR: Unable to initialise initial stream", "\tStream Type:  \tVIDEO - Video File",
          "\tError Message:\tERROR: Unable to open video file ../data/missing.mkv"}},
        {"Packed", {"ERROR: Data source PACKED not yet implemented"}},
        {"images", {"ERROR: Unknown data source selected"}},
        {"capture",
         {"ERROR: Unable to initialise initial stream", "\tStream Type:  \tCAPTURE - Webcam Stream",
          "\tError Message:\tERROR: Unable to open video file or stream"}},
        {"video",
         {"ERROR: Unable to initialise initial stream", "\tStream Type:  \tVIDEO - Video File",
          "\tError Message:\tERROR: No video file named (path_video is empty)"},
         "path_video"},
        {"image",
         {"ERROR: Unable to initialise initial stream", "\tStream Type:  \tIMAGE - Image Globber",
          "\tError Message:\tNo files found in '' with extension 'png'", ""},
         "path_image_glob"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data_source);
        settings.data_source = c.data_source;
        settings.udp_port = emulator->port;
        std::string text = configuration_text(settings);
        if (!c.empty_key.empty()) {
            const std::regex line("\n  " + c.empty_key + ": [^\n]*\n");
            text = std::regex_replace(text, line, "\n  " + c.empty_key + ": \"\"\n");
        }
        write_file(box.configuration(), text);
        auto run = start_demo(box, false, "", c.data_source + c.empty_key);
        const auto status = run->wait_exit(30s);
        EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
        EXPECT_EQ(run->err_lines(), c.expected);
        const auto all = run->out_lines();
        const auto lines = before_summary(all);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "UPLOADING WEIGHTS DONE");
        // A failure status ends with the summary too.
        EXPECT_EQ(summary_value(all, "requests_init"), 1);
        run->kill_now();
    }
}

// The status register reads 3 (busy) from the second run on. The serial
// program checks it before every start and resets the board; the overlapped
// one checks only before its first run and keeps going.
TEST_F(DemoTest, BusyStatusResetsOnlyTheSerialProgram) {
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{}, {"--status", "3", "--status-from-run", "2"});
    start(false);
    ASSERT_TRUE(demo->wait_out([](const auto& lines) { return frame_lines(lines) >= 20; }, 30s));
    EXPECT_EQ(count_lines(demo->out_lines(), "FPGA RESET REQUESTED"), 0u);
    EXPECT_EQ(demo->err_lines(), std::vector<std::string>{});
    demo->signal(SIGTERM);
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);

    // A fresh board for the serial program: the same fault from its second run.
    emulator.reset();
    start_emulator(Settings{}, {"--status", "3", "--status-from-run", "2"});
    demo = start_demo(box, true, x->display, "serial");
    EXPECT_TRUE(demo->wait_out(
        [](const auto& lines) { return count_lines(lines, "FPGA RESET REQUESTED") >= 1; }, 30s));
    const auto lines = demo->out_lines();
    const size_t started = find_line(lines, "INITIAL UPLOAD AND START DONE  ");
    EXPECT_NE(started, std::string::npos);
    EXPECT_LT(started, find_line(lines, "FPGA RESET REQUESTED"));
    EXPECT_EQ(demo->err_lines(),
              (std::vector<std::string>{"FPGA indicates network is not idle. 0x04  = 0x00000003", "Caught exception",
                                        "Processing mode reset exception, @start core"}));
}
