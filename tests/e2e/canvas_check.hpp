// Checks on a screenshot of the output canvas: where the source frame lies
// on it and whether a box outline is drawn around each known object.
#pragma once

#include "tools/sample_data.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

constexpr int CANVAS_WIDTH = 1280;
constexpr int CANVAS_HEIGHT = 720;

// How a W x H frame is placed on the canvas: scaled by d and centred, with
// the odd pixel of the padding on the right and at the bottom.
struct Placement {
    float d = 1;
    int width = 0, height = 0;  // scaled size
    int left = 0, top = 0;      // padding left and top
};

inline Placement place(int frame_width, int frame_height) {
    Placement p;
    p.d = std::min(static_cast<float>(CANVAS_HEIGHT) / frame_height, static_cast<float>(CANVAS_WIDTH) / frame_width);
    p.width = static_cast<int>(std::roundf(frame_width * p.d));
    p.height = static_cast<int>(std::roundf(frame_height * p.d));
    p.left = static_cast<int>(std::floor((CANVAS_WIDTH - p.width) * 0.5));
    p.top = static_cast<int>(std::floor((CANVAS_HEIGHT - p.height) * 0.5));
    return p;
}

inline bool same_colour(const cv::Vec3b& a, const cv::Vec3b& b, int tolerance = 2) {
    for (int c = 0; c < 3; ++c)
        if (std::abs(static_cast<int>(a[c]) - static_cast<int>(b[c])) > tolerance) return false;
    return true;
}

// The outline of the box drawn around an object is 5 pixels wide and centred
// one pixel outside the object's top and left edges (one pixel inside its
// right and bottom edges), so it shows as a band of the object's colour just
// outside the object, where the frame itself has only the background. For
// each side this finds, at five points of the side, how far beyond the
// object the band reaches: the outer edge's distance from the object's edge
// in canvas pixels (about 3 on the top and left and 1 on the other sides for
// an exact box), or nothing when the band is missing. The class label, drawn
// in the same colour from the box's top-left corner, can spill over the
// right and bottom sides: points there that the label may cover are not
// looked at, and a side too short for any other point is not judged.
struct SideReport {
    const char* side;
    bool judged = true;
    std::optional<int> reach;
};

inline std::vector<SideReport> outline_reach(const cv::Mat& canvas, const sample_data::GroundTruthObject& object,
                                             const Placement& p, const cv::Vec3b& colour) {
    const cv::Rect& b = object.box;
    const double left = b.x * p.d + p.left, right = (b.x + b.width) * p.d + p.left;
    const double top = b.y * p.d + p.top, bottom = (b.y + b.height) * p.d + p.top;
    constexpr int SEARCH = 14;  // farthest distance looked at
    constexpr int SAMPLES = 5;

    // Rows the label may cover: its baseline is 45 pixels below the box's
    // top, in the complex-small font at scale 3 and thickness 3.
    int label_baseline = 0;
    cv::getTextSize("bdfghijklpqty", cv::FONT_HERSHEY_COMPLEX_SMALL, 3.0, 3, &label_baseline);
    const double label_bottom = top - 1 + 45 + label_baseline + 6;

    struct Side {
        const char* name;
        double edge;      // object edge (canvas coordinate across the side)
        int outward;      // -1 towards smaller coordinates, +1 towards larger
        bool vertical;    // the side is a column (left, right)
        double from, to;  // part of the side that is looked at
    };
    std::vector<Side> sides{
        {"left", left, -1, true, top + 0.3 * (bottom - top), top + 0.7 * (bottom - top)},
        {"right", right, +1, true, std::max(top + 0.3 * (bottom - top), label_bottom), top + 0.8 * (bottom - top)},
        {"top", top, -1, false, left + 0.3 * (right - left), left + 0.7 * (right - left)},
        {"bottom", bottom, +1, false, left + 0.3 * (right - left), left + 0.7 * (right - left)},
    };

    std::vector<SideReport> reports;
    for (const Side& s : sides) {
        SideReport report{s.name, true, std::nullopt};
        const bool label_reaches_bottom = !s.vertical && s.outward > 0 && label_bottom > bottom - SEARCH;
        if (s.to - s.from < SAMPLES || label_reaches_bottom) {
            report.judged = false;
            reports.push_back(report);
            continue;
        }
        // The first pixel whose centre lies clearly outside the object: the
        // scaled frame gives it at most half the object's colour, so only
        // the outline can paint it in that colour exactly.
        const int first = s.outward < 0 ? static_cast<int>(std::ceil(s.edge - 0.75)) - 1
                                        : static_cast<int>(std::floor(s.edge - 0.25)) + 1;
        std::vector<int> reaches;
        for (int i = 0; i < SAMPLES; ++i) {
            const int along = static_cast<int>(s.from + (s.to - s.from) * i / (SAMPLES - 1));
            std::optional<int> farthest;
            for (int step = 0; step < SEARCH; ++step) {
                const int across = first + s.outward * step;
                const int x = s.vertical ? across : along;
                const int y = s.vertical ? along : across;
                if (x < 0 || y < 0 || x >= canvas.cols || y >= canvas.rows) break;
                if (same_colour(canvas.at<cv::Vec3b>(y, x), colour))
                    farthest = static_cast<int>(std::lround(std::abs(across - s.edge)));
            }
            if (farthest) reaches.push_back(*farthest);
        }
        // A drawn side shows at (nearly) every point.
        if (reaches.size() >= SAMPLES - 1) {
            std::sort(reaches.begin(), reaches.end());
            report.reach = reaches[reaches.size() / 2];
        }
        reports.push_back(report);
    }
    return reports;
}

// Checks every object of `objects` (in the frame's pixels) for an outline in
// its own colour, taken from the object's outline in `frame`. `report` lists
// every side's reach, with the faults marked.
struct BoxCheck {
    bool ok = true;
    std::string report;
};

inline BoxCheck check_boxes(const cv::Mat& canvas, const cv::Mat& frame,
                            const std::vector<sample_data::GroundTruthObject>& objects, int max_reach = 9) {
    BoxCheck result;
    std::ostringstream report;
    const Placement p = place(frame.cols, frame.rows);
    for (const auto& object : objects) {
        const cv::Point centre(object.box.x + object.box.width / 2, object.box.y + object.box.height / 2);
        // The figure's outline, half-way down its left side.
        const cv::Vec3b colour = frame.at<cv::Vec3b>(centre.y, object.box.x);
        report << "class " << object.class_id << " at " << object.box << ":";
        for (const SideReport& side : outline_reach(canvas, object, p, colour)) {
            report << " " << side.side << " ";
            if (!side.judged) {
                report << "-";
            } else if (!side.reach) {
                report << "MISSING";
                result.ok = false;
            } else {
                report << *side.reach;
                if (*side.reach > max_reach) {
                    report << " (TOO FAR)";
                    result.ok = false;
                }
            }
        }
        report << "\n";
    }
    result.report = report.str();
    return result;
}

}  // namespace e2e
