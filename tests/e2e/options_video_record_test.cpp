// The command line of both programs, a video file played through the board
// and the recording of what the window showed.
#include "e2e_harness.hpp"
#include "canvas_check.hpp"

#include "tools/sample_data.hpp"
#include "tests/support/poll.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

using namespace e2e;

namespace {

const char* const SCENE = "scene_01_1280x720.png";

double mean_difference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Scalar m = cv::mean(difference);
    return (m[0] + m[1] + m[2]) / 3.0;
}

class ProgramTest : public DemoTest {
protected:
    void start_with(const std::vector<std::string>& args, bool serial = false) {
        demo = start_demo(box, serial, x->display, "demo", args);
    }
};

}  // namespace

// --help, --version and a wrong option need neither a configuration nor a
// board; without options the programs read the fixed place.
TEST(ProgramOptions, HelpVersionUnknownOptionAndTheDefaultConfiguration) {
    Sandbox box;
    for (const bool serial : {false, true}) {
        const std::string name = serial ? "visiondemo_serial" : "visiondemo";
        SCOPED_TRACE(name);
        auto help = start_demo(box, serial, "", name + "_help", {"--help"});
        EXPECT_TRUE(exited_with(help->wait_exit(20s), 0));
        const std::string usage = help->out();
        EXPECT_EQ(usage.rfind("usage: " + name + " [options]\n", 0), 0u) << usage;
        EXPECT_NE(usage.find("--config PATH"), std::string::npos);
        EXPECT_NE(usage.find("path_video"), std::string::npos);

        auto version = start_demo(box, serial, "", name + "_version", {"--version"});
        EXPECT_TRUE(exited_with(version->wait_exit(20s), 0));
        EXPECT_TRUE(std::regex_match(version->out(), std::regex(name + " [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << version->out();

        auto wrong = start_demo(box, serial, "", name + "_wrong", {"--colour", "red"});
        const auto status = wrong->wait_exit(20s);
        EXPECT_TRUE(exited_with(status, 2)) << describe_status(status);
        EXPECT_EQ(wrong->out(), "");
        EXPECT_EQ(wrong->err(), name + ": unknown option \"--colour\"\n" + usage);

        // The sandbox has no file at the fixed place.
        auto plain = start_demo(box, serial, "", name + "_plain", {});
        EXPECT_TRUE(exited_with(plain->wait_exit(20s), 1));
        EXPECT_EQ(plain->err_lines(),
                  (std::vector<std::string>{"ERROR: Failed to open YAML configuration file",
                                            "\tFile path:\t../configuration/demo_parameters_windows.yaml"}));
    }
}

// A configuration outside the fixed place, its relative paths still taken
// from the working directory; the fixed place holds none.
TEST_F(ProgramTest, ConfigurationGivenOnTheCommandLine) {
    box.add_scenes({SCENE});
    start_emulator(Settings{});
    const fs::path elsewhere = box.root / "elsewhere" / "show.yaml";
    fs::create_directories(elsewhere.parent_path());
    fs::rename(box.configuration(), elsewhere);
    start_with({"--config", "../elsewhere/show.yaml"}, true);
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window));
    ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
}

// A short clip of a sample scene, made here losslessly: the board finds its
// objects and the window shows their boxes; the clip starts again at its
// end, again and again.
TEST_F(ProgramTest, VideoFilePlaysThroughTheBoardInALoop) {
    // A scene whose boxes all come back within a pixel or two: the check below
    // wants every box line outside its figure.
    const std::string scene_path = (repository_scenes() / "scene_10_480x640.png").string();
    const cv::Mat scene = cv::imread(scene_path, cv::IMREAD_COLOR);
    const auto objects = sample_data::read_ground_truth(sample_data::ground_truth_path(scene_path));
    ASSERT_FALSE(objects.empty());
    {
        cv::VideoWriter writer((box.root / "data" / "clip.mkv").string(), cv::CAP_FFMPEG,
                               cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 25.0, scene.size());
        ASSERT_TRUE(writer.isOpened());
        for (int n = 0; n < 8; ++n) writer.write(scene);
    }
    Settings settings;
    settings.data_source = "video";
    settings.path_video = "../data/clip.mkv";
    start_emulator(settings);
    start_with({});
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window, 5));
    ASSERT_TRUE(demo->wait_out(
        [](const auto& lines) { return count_lines(lines, "INFO: Video file 'video' starts again (loop 3)") == 1; },
        60s));

    const cv::Mat canvas = window.screenshot(box.run() / "canvas.png");
    ASSERT_EQ(canvas.size(), cv::Size(CANVAS_WIDTH, CANVAS_HEIGHT));
    const BoxCheck boxes = check_boxes(canvas, scene, objects);
    EXPECT_TRUE(boxes.ok) << boxes.report;

    ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
}

struct RecordCase {
    const char* file;
    int stop_signal;  // 0: Escape
    bool serial;
};

std::ostream& operator<<(std::ostream& out, const RecordCase& c) { return out << c.file; }

class Recording : public ProgramTest, public testing::WithParamInterface<RecordCase> {};

// The recording holds the canvases the window showed, 1280 x 720, and is
// complete however the program was asked to end.
TEST_P(Recording, HoldsWhatTheWindowShowedAndIsClosedOnTheWayOut) {
    const RecordCase c = GetParam();
    box.add_scenes({SCENE});
    start_emulator(Settings{});
    start_with({"--record", c.file}, c.serial);
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window, 10));
    const cv::Mat shown = window.screenshot(box.run() / "shown.png");
    ASSERT_EQ(shown.size(), cv::Size(CANVAS_WIDTH, CANVAS_HEIGHT));

    if (c.stop_signal == 0) {
        ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
    } else {
        demo->signal(c.stop_signal);
    }
    const auto status = demo->wait_exit(30s);
    ASSERT_TRUE(exited_with(status, 0)) << describe_status(status);
    const std::regex summary(std::string("Recording: ") + c.file + ", ([0-9]+) frames at [0-9.]+ frames/s.*");
    size_t written = 0;
    for (const auto& line : demo->out_lines()) {
        std::smatch match;
        if (std::regex_match(line, match, summary)) written = std::stoul(match[1].str());
    }
    ASSERT_GT(written, 0u) << "no summary line";

    cv::VideoCapture capture((box.run() / c.file).string(), cv::CAP_FFMPEG);
    ASSERT_TRUE(capture.isOpened());
    std::vector<cv::Mat> frames;
    cv::Mat frame;
    while (capture.read(frame)) {
        ASSERT_EQ(frame.size(), cv::Size(CANVAS_WIDTH, CANVAS_HEIGHT));
        frames.push_back(frame.clone());
    }
    // Closed properly: the file holds every canvas the recorder wrote.
    EXPECT_EQ(frames.size(), written);
    // The scene stands still; only the frame-rate figures on it change.
    double nearest = 1e9;
    for (const cv::Mat& recorded : frames) nearest = std::min(nearest, mean_difference(recorded, shown));
    // MPEG-4 part 2 at its default bit rate is the lossiest of the three.
    EXPECT_LT(nearest, 6.0);
}

INSTANTIATE_TEST_SUITE_P(Ends, Recording,
                         testing::Values(RecordCase{"show.avi", 0, false}, RecordCase{"show.mp4", SIGTERM, false},
                                         RecordCase{"show.mkv", SIGINT, true}),
                         [](const testing::TestParamInfo<RecordCase>& info) {
                             const std::string file = info.param.file;
                             return file.substr(file.find('.') + 1);
                         });

namespace {

// A box of the detections file: source-frame pixels.
struct FileBox {
    int class_id;
    cv::Rect2d box;
};

// The records of a detections file by image name: each record's boxes.
std::map<std::string, std::vector<std::vector<FileBox>>> read_detections(const fs::path& path) {
    std::map<std::string, std::vector<std::vector<FileBox>>> records;
    std::ifstream in(path);
    const std::regex image("\"image\":\"([^\"]+)\"");
    const std::regex entry(R"("class_id":(\d+),[^{]*"box":\{"left":([-0-9.e]+),"top":([-0-9.e]+),)"
                           R"("right":([-0-9.e]+),"bottom":([-0-9.e]+)\})");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        // Every line is a whole object, the last one too.
        if (line.empty() || line.front() != '{' || line.back() != '}' || !std::regex_search(line, m, image)) {
            records["(broken line)"].push_back({});
            continue;
        }
        std::vector<FileBox> boxes;
        for (std::sregex_iterator it(line.begin(), line.end(), entry), end; it != end; ++it) {
            const auto& e = *it;
            const double l = std::stod(e[2]), t = std::stod(e[3]), r = std::stod(e[4]), b = std::stod(e[5]);
            boxes.push_back({std::stoi(e[1]), cv::Rect2d(l, t, r - l, b - t)});
        }
        records[m[1]].push_back(boxes);
    }
    return records;
}

double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
    const double common = (a & b).area();
    return common / (a.area() + b.area() - common);
}

class DetectionsFile : public ProgramTest, public testing::WithParamInterface<const char*> {};

}  // namespace

// Every sample scene through the whole show: each record of the detections
// file holds, for each object of its image's ground truth, one box of the
// object's class that covers it (IoU at least 0.7), and nothing else. The
// file ends with a whole line after SIGTERM.
TEST_P(DetectionsFile, BoxesMatchTheGroundTruthOfEveryScene) {
    std::vector<std::string> scenes;
    for (const auto& entry : fs::directory_iterator(repository_scenes()))
        if (entry.path().extension() == ".png") scenes.push_back(entry.path().filename().string());
    ASSERT_FALSE(scenes.empty());
    box.add_scenes(scenes);
    Settings settings;
    settings.data_fit = GetParam();
    settings.displaytime_image = 300;
    start_emulator(settings);
    const fs::path file = box.run() / "detections.jsonl";
    start_with({"--detections", file.string()}, settings.data_fit == "crop");
    // A line being written meanwhile reads as broken.
    const auto images_seen = [&] {
        const auto seen = read_detections(file);
        return seen.size() - seen.count("(broken line)");
    };
    ASSERT_TRUE(poll_until([&] { return images_seen() >= scenes.size(); }, 60s)) << "images seen: " << images_seen();
    demo->signal(SIGTERM);
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);

    const auto records = read_detections(file);
    EXPECT_EQ(records.count("(broken line)"), 0u);
    for (const std::string& name : scenes) {
        SCOPED_TRACE(name);
        const auto objects =
            sample_data::read_ground_truth(sample_data::ground_truth_path((repository_scenes() / name).string()));
        ASSERT_EQ(records.count(name), 1u);
        for (const auto& boxes : records.at(name)) {
            EXPECT_EQ(boxes.size(), objects.size());
            for (const auto& object : objects) {
                const cv::Rect2d truth(object.box.x, object.box.y, object.box.width, object.box.height);
                double best = 0;
                for (const FileBox& b : boxes)
                    if (b.class_id == object.class_id) best = std::max(best, iou(b.box, truth));
                EXPECT_GE(best, 0.7) << "class " << object.class_id << " at " << object.box;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFit, DetectionsFile, testing::Values("stretch", "crop", "box"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// A detections file that cannot be written ends the program before the
// window opens, as a recording does.
TEST_F(ProgramTest, UnwritableDetectionsFileStopsBeforeTheWindow) {
    box.add_scenes({SCENE});
    start_emulator(Settings{});
    demo = start_demo(box, false, "", "demo", {"--detections", (box.root / "missing" / "d.jsonl").string()});
    const auto status = demo->wait_exit(30s);
    EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
    EXPECT_EQ(demo->err_lines(), (std::vector<std::string>{"ERROR: Unable to write detections file",
                                                           "\tFile path:\t" + (box.root / "missing" / "d.jsonl").string()}));
}
