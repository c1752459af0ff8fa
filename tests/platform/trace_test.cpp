#include "platform/trace.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct Line {
    uint64_t frame;
    std::string stage;
    long thread;
    double begin;
    double end;
};

// The file's lines after the header; a line that is not five well-formed
// fields fails the test.
std::vector<Line> read_trace(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    EXPECT_EQ(text, "frame,stage,thread,begin_us,end_us");
    std::vector<Line> lines;
    while (std::getline(file, text)) {
        std::istringstream fields(text);
        std::string field[5];
        int n = 0;
        while (n < 5 && std::getline(fields, field[n], ',')) ++n;
        std::string rest;
        EXPECT_TRUE(n == 5 && !std::getline(fields, rest)) << "line: " << text;
        if (n != 5) continue;
        lines.push_back({std::stoull(field[0]), field[1], std::stol(field[2]), std::stod(field[3]), std::stod(field[4])});
    }
    return lines;
}

std::string temp_path(const char* name) {
    return (std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()) + ".csv")).string();
}

}  // namespace

// Threads recording at the same time, as the stages do: every stage arrives,
// once, in its own thread's lane, with begin before end, and the lines come in
// the order the stages ended.
TEST(Trace, ConcurrentStagesAreCompleteAndOrdered) {
    const std::string path = temp_path("vd_trace_");
    trace::record(trace::Stage::grab, 999, trace::Clock::now());  // before open: not written
    ASSERT_TRUE(trace::open(path));
    EXPECT_FALSE(trace::open(path));  // one trace at a time

    constexpr int THREADS = 4, FRAMES = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int f = 0; f < FRAMES; ++f) {
                const uint64_t frame = static_cast<uint64_t>(t) * FRAMES + f;
                trace::Span decode(trace::Stage::decode, frame);
                decode.end();
                trace::Span draw(trace::Stage::draw, frame);
                trace::Span skipped(trace::Stage::shown, frame, false);
                trace::record(trace::Stage::core, frame, trace::Clock::now());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(trace::close(), 0u);
    EXPECT_EQ(trace::close(), 0u);  // a second close does nothing
    trace::record(trace::Stage::grab, 999, trace::Clock::now());  // after close: not written

    const std::vector<Line> lines = read_trace(path);
    ASSERT_EQ(lines.size(), size_t{THREADS} * FRAMES * 3);
    std::map<uint64_t, std::vector<std::string>> stages_of;
    std::map<uint64_t, long> lane_of;
    std::set<long> lanes;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& l = lines[i];
        EXPECT_LE(l.begin, l.end);
        if (i > 0) {
            EXPECT_LE(lines[i - 1].end, l.end) << "line " << i + 2;
        }
        stages_of[l.frame].push_back(l.stage);
        // Every stage of a frame came from the thread that recorded it.
        if (!lane_of.count(l.frame)) lane_of[l.frame] = l.thread;
        EXPECT_EQ(lane_of[l.frame], l.thread);
        lanes.insert(l.thread);
    }
    EXPECT_EQ(lanes.size(), size_t{THREADS});
    ASSERT_EQ(stages_of.size(), size_t{THREADS} * FRAMES);
    for (const auto& [frame, stages] : stages_of) {
        EXPECT_EQ(stages, (std::vector<std::string>{"decode", "core", "draw"})) << "frame " << frame;
    }
    std::filesystem::remove(path);
}

TEST(Trace, ReopeningStartsAFreshFileAndAnUnwritablePathIsRefused) {
    const std::string path = temp_path("vd_trace_again_");
    ASSERT_TRUE(trace::open(path));
    trace::record(trace::Stage::upload, 1, trace::Clock::now());
    trace::close();
    ASSERT_TRUE(trace::open(path));
    trace::record(trace::Stage::shown, 2, trace::Clock::now());
    trace::close();
    const std::vector<Line> lines = read_trace(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].stage, "shown");
    EXPECT_EQ(lines[0].frame, 2u);
    std::filesystem::remove(path);

    EXPECT_FALSE(trace::open("/nonexistent-folder/trace.csv"));
    EXPECT_FALSE(trace::on());
}
