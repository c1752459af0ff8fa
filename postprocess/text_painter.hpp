#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Draws text with OpenCV's Hershey fonts (8-connected lines), keeping each
// rendered text as a mask so that a text seen before is painted with one
// masked fill instead of being stroked again. Texts that would reach past the
// canvas are drawn directly.
class TextPainter {
public:
    void put_text(cv::Mat& canvas, const std::string& text, cv::Point origin, int font, double scale,
                  const cv::Scalar& colour, int thickness);

private:
    // Inked pixels of one row, from the text origin.
    struct Run {
        int dy;
        int dx;
        int length;
    };
    struct Stamp {
        cv::Mat mask;
        cv::Point offset;  // of the mask's top-left corner from the text origin
        std::vector<Run> runs;
    };
    const Stamp& stamp(const std::string& text, int font, double scale, int thickness);

    std::unordered_map<std::string, Stamp> stamps;
    std::vector<uint8_t> pattern;  // one row of the current colour
};
