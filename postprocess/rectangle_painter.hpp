#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <utility>
#include <vector>

// Draws axis-parallel rectangle outlines of one line thickness (8-connected)
// with the same pixels as cv::rectangle, from a prototype drawn once: corners
// are copied from it and the straight parts repeat its cross-sections, so a
// rectangle costs a few row copies instead of four thick lines with round
// caps. Small rectangles and those near the canvas edge are left to the
// library.
class RectanglePainter {
public:
    explicit RectanglePainter(int thickness);
    void draw(cv::Mat& canvas, cv::Point p1, cv::Point p2, const cv::Scalar& colour);

private:
    struct Row {
        std::vector<std::pair<int, int>> left;   // (start from x1, length)
        bool middle = false;                     // the span between the corners
        std::vector<std::pair<int, int>> right;  // (start from x2, length)
    };
    int thickness;
    int k = 0;            // reach of the outline beyond the corner points
    bool usable = false;  // the prototype has the expected structure
    std::vector<Row> top, bottom;  // rows y1 - k .. y1 + k and y2 - k .. y2 + k
    Row centre;                    // every row in between
    std::vector<uint8_t> pattern;

    void fill(cv::Mat& canvas, int y, int x1, int x2, const Row& row, int length);
};
