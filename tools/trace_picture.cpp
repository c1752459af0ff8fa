// Draws a timeline written with --trace as a picture: one lane per thread,
// within it a row per stage that thread did, a bar per stage of a frame,
// frames told apart by colour, over a window of about half a second.
//
//   trace_picture TRACE.csv PICTURE.png [--from MS] [--span MS] [--title TEXT]
//
// --from: where the window starts, in ms since the trace began (default: the
// middle of the trace, away from the start-up); --span: its length (500 ms).
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> STAGES = {"grab", "prepare", "upload", "core", "download", "decode", "draw", "shown"};

struct Event {
    uint64_t frame;
    int stage;
    long thread;
    double begin_ms;
    double end_ms;
};

bool read_trace(const std::string& path, std::vector<Event>& events) {
    std::ifstream file(path);
    if (!file) return false;
    std::string line;
    std::getline(file, line);  // header
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string f[5];
        for (auto& field : f) std::getline(fields, field, ',');
        const auto stage = std::find(STAGES.begin(), STAGES.end(), f[1]);
        if (stage == STAGES.end() || f[4].empty()) continue;
        events.push_back({std::stoull(f[0]), static_cast<int>(stage - STAGES.begin()), std::stol(f[2]),
                          std::stod(f[3]) / 1000.0, std::stod(f[4]) / 1000.0});
    }
    return true;
}

// Eight colours far enough apart that neighbouring frames never look alike.
cv::Scalar frame_colour(uint64_t frame) {
    static const cv::Scalar palette[8] = {{230, 120, 40}, {60, 170, 60},  {40, 60, 220},  {180, 80, 170},
                                          {30, 180, 230}, {150, 150, 40}, {120, 60, 120}, {90, 140, 250}};
    return palette[frame % 8];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: trace_picture TRACE.csv PICTURE.png [--from MS] [--span MS] [--title TEXT]\n";
        return 2;
    }
    double from = -1, span = 500;
    std::string title = argv[1];
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--from") from = std::stod(argv[i + 1]);
        else if (option == "--span") span = std::stod(argv[i + 1]);
        else if (option == "--title") title = argv[i + 1];
        else {
            std::cerr << "unknown option " << option << "\n";
            return 2;
        }
    }
    std::vector<Event> events;
    if (!read_trace(argv[1], events) || events.empty()) {
        std::cerr << "ERROR: no stages in " << argv[1] << "\n";
        return 1;
    }
    double last = 0;
    for (const Event& e : events) last = std::max(last, e.end_ms);
    if (from < 0) from = std::max(0.0, last / 2 - span / 2);
    const double to = from + span;

    // Lanes: threads in the order of the earliest stage they do; rows: the
    // stages each thread did, in pipeline order.
    std::map<long, std::vector<bool>> did;
    for (const Event& e : events) {
        auto& stages = did[e.thread];
        stages.resize(STAGES.size());
        stages[static_cast<size_t>(e.stage)] = true;
    }
    std::vector<long> lanes;
    for (const auto& entry : did) lanes.push_back(entry.first);
    auto first_stage = [&](long thread) {
        const auto& s = did[thread];
        return std::find(s.begin(), s.end(), true) - s.begin();
    };
    std::stable_sort(lanes.begin(), lanes.end(), [&](long a, long b) { return first_stage(a) < first_stage(b); });
    std::map<std::pair<long, int>, int> row_of;
    std::vector<std::pair<long, int>> rows;
    std::vector<int> lane_top;
    for (long thread : lanes) {
        for (int s = 0; s < static_cast<int>(STAGES.size()); ++s) {
            if (!did[thread][static_cast<size_t>(s)]) continue;
            row_of[{thread, s}] = static_cast<int>(rows.size());
            rows.push_back({thread, s});
        }
    }

    const int label_width = 220, plot_width = 1500, row_height = 26, lane_gap = 12, top = 60, margin = 20;
    std::vector<int> row_y(rows.size());
    int y = top;
    for (size_t r = 0; r < rows.size(); ++r) {
        if (r > 0 && rows[r].first != rows[r - 1].first) y += lane_gap;
        row_y[r] = y;
        y += row_height;
    }
    const int height = y + 50;
    const int width = label_width + plot_width + margin;
    cv::Mat picture(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    const auto x_of = [&](double ms) {
        return label_width + static_cast<int>((ms - from) / span * plot_width);
    };
    const int font = cv::FONT_HERSHEY_SIMPLEX;

    cv::putText(picture, title, {margin, 30}, font, 0.6, {0, 0, 0}, 1, cv::LINE_AA);
    // Time grid every 50 ms.
    for (double t = std::ceil(from / 50) * 50; t <= to; t += 50) {
        const int x = x_of(t);
        cv::line(picture, {x, top - 8}, {x, y}, {225, 225, 225}, 1);
        char text[32];
        std::snprintf(text, sizeof text, "%.0f ms", t);
        cv::putText(picture, text, {x - 20, y + 20}, font, 0.4, {90, 90, 90}, 1, cv::LINE_AA);
    }
    // Row labels and lane bands.
    for (size_t r = 0; r < rows.size(); ++r) {
        const bool first_of_lane = r == 0 || rows[r].first != rows[r - 1].first;
        if (first_of_lane) {
            size_t last_row = r;
            while (last_row + 1 < rows.size() && rows[last_row + 1].first == rows[r].first) ++last_row;
            cv::rectangle(picture, {0, row_y[r] - 3}, {width - 1, row_y[last_row] + row_height + 1},
                          {246, 246, 246}, cv::FILLED);
            cv::putText(picture, "thread " + std::to_string(rows[r].first), {margin / 2, row_y[r] + 17}, font, 0.42,
                        {0, 0, 0}, 1, cv::LINE_AA);
        }
        cv::putText(picture, STAGES[static_cast<size_t>(rows[r].second)], {130, row_y[r] + 17}, font, 0.45,
                    {40, 40, 40}, 1, cv::LINE_AA);
    }
    // The bars, clipped to the window; the frame number inside when it fits.
    for (const Event& e : events) {
        if (e.end_ms < from || e.begin_ms > to) continue;
        const int r = row_of[{e.thread, e.stage}];
        const int x0 = std::max(label_width, x_of(e.begin_ms));
        const int x1 = std::max(x0 + 1, std::min(label_width + plot_width, x_of(e.end_ms)));
        const cv::Rect bar(x0, row_y[r] + 2, x1 - x0, row_height - 6);
        cv::rectangle(picture, bar, frame_colour(e.frame), cv::FILLED);
        cv::rectangle(picture, bar, {60, 60, 60}, 1);
        const std::string number = std::to_string(e.frame);
        if (bar.width > 9 * static_cast<int>(number.size()) + 4)
            cv::putText(picture, number, {x0 + 3, row_y[r] + 17}, font, 0.38, {255, 255, 255}, 1, cv::LINE_AA);
    }
    cv::line(picture, {label_width, top - 8}, {label_width, y}, {0, 0, 0}, 1);
    if (!cv::imwrite(argv[2], picture)) {
        std::cerr << "ERROR: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}
