// --trace FILE on both programs: a short run against the emulator, stopped by
// SIGTERM, leaves a timeline whose lines are complete and ordered.
#include "e2e_harness.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <map>
#include <sstream>

using namespace e2e;

namespace {

const std::vector<std::string> STAGES = {"grab", "prepare", "upload", "core", "download", "decode", "draw", "shown"};

struct Stage {
    double begin = -1;  // the first time the stage began for the frame
    double end = -1;
};

class Trace : public DemoTest, public testing::WithParamInterface<bool> {};

}  // namespace

TEST_P(Trace, EveryDrawnFrameHasItsStagesInPipelineOrder) {
    const bool serial = GetParam();
    box.add_scenes({"scene_01_1280x720.png"});
    start_emulator(Settings{});
    const fs::path path = box.run() / "trace.csv";
    demo = start_demo(box, serial, x->display, "demo", {"--trace", path.string()});
    Window window(*x, demo->id());
    ASSERT_TRUE(running(window, 8));
    demo->signal(SIGTERM);
    const auto status = demo->wait_exit(20s);
    EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);

    std::ifstream file(path);
    std::string line;
    ASSERT_TRUE(std::getline(file, line));
    EXPECT_EQ(line, "frame,stage,thread,begin_us,end_us");
    std::map<uint64_t, std::map<std::string, Stage>> frames;
    double last_end = -1;
    size_t count = 0;
    while (std::getline(file, line)) {
        ++count;
        std::istringstream fields(line);
        std::string f[5], rest;
        for (auto& field : f) ASSERT_TRUE(std::getline(fields, field, ',')) << line;
        ASSERT_FALSE(std::getline(fields, rest)) << line;
        ASSERT_NE(std::find(STAGES.begin(), STAGES.end(), f[1]), STAGES.end()) << line;
        const double begin = std::stod(f[3]), end = std::stod(f[4]);
        EXPECT_LE(begin, end) << line;
        EXPECT_LE(last_end, end) << "lines not in the order the stages ended: " << line;
        last_end = end;
        Stage& stage = frames[std::stoull(f[0])][f[1]];
        if (stage.begin < 0) stage = {begin, end};
    }
    // The last line was written: the end of the run flushed the file.
    EXPECT_EQ(file.eof(), true);

    size_t drawn = 0, shown = 0;
    for (const auto& [frame, stages] : frames) {
        if (!stages.count("draw")) continue;
        ++drawn;
        // A drawn frame went through every stage before, each after the last
        // had ended (only the canvas's hand-over is inside the drawing).
        for (size_t k = 0; k + 1 < STAGES.size() - 1; ++k) {
            ASSERT_TRUE(stages.count(STAGES[k])) << "frame " << frame << " lacks " << STAGES[k];
            EXPECT_LE(stages.at(STAGES[k]).end, stages.at(STAGES[k + 1]).begin)
                << "frame " << frame << ": " << STAGES[k] << " before " << STAGES[k + 1];
        }
        if (stages.count("shown")) {
            ++shown;
            EXPECT_LE(stages.at("draw").begin, stages.at("shown").begin) << "frame " << frame;
        }
    }
    EXPECT_GE(drawn, 8u) << count << " lines";
    EXPECT_GE(shown, 1u);
}

INSTANTIATE_TEST_SUITE_P(Programs, Trace, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Serial" : "Overlapped");
                         });
