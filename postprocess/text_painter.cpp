#include "postprocess/text_painter.hpp"

#include <opencv2/imgproc.hpp>

#include <cstring>

namespace {

// Stamps are cheap to redo; the bound only keeps odd inputs (a frame rate
// that changes every frame, say) from growing the cache without end.
constexpr size_t MAX_STAMPS = 1024;

}  // namespace

const TextPainter::Stamp& TextPainter::stamp(const std::string& text, int font, double scale, int thickness) {
    // The text followed by the style's raw bytes.
    std::string key;
    key.reserve(text.size() + sizeof font + sizeof scale + sizeof thickness);
    key.append(text);
    key.append(reinterpret_cast<const char*>(&font), sizeof font);
    key.append(reinterpret_cast<const char*>(&scale), sizeof scale);
    key.append(reinterpret_cast<const char*>(&thickness), sizeof thickness);
    auto found = stamps.find(key);
    if (found != stamps.end()) return found->second;
    if (stamps.size() >= MAX_STAMPS) stamps.clear();

    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, font, scale, thickness, &baseline);
    // Generous margins, grown until no stroke touches the edge.
    int pad = size.height + 2 * thickness + 4;
    Stamp s;
    for (;;) {
        cv::Mat m = cv::Mat::zeros(size.height + baseline + 2 * pad, size.width + 2 * pad, CV_8UC1);
        const cv::Point origin(pad, pad + size.height);
        cv::putText(m, text, origin, font, scale, cv::Scalar(255), thickness, cv::LINE_8);
        const cv::Rect ink = cv::boundingRect(m);
        const bool touches = ink.area() > 0 &&
                             (ink.x == 0 || ink.y == 0 || ink.br().x == m.cols || ink.br().y == m.rows);
        if (touches) {
            pad *= 2;
            continue;
        }
        if (ink.area() > 0) {
            if (pattern.size() < 3 * static_cast<size_t>(ink.width)) pattern.resize(3 * static_cast<size_t>(ink.width));
            s.mask = m(ink).clone();
            s.offset = ink.tl() - origin;
            for (int y = 0; y < s.mask.rows; ++y) {
                const uint8_t* row = s.mask.ptr<uint8_t>(y);
                for (int x = 0; x < s.mask.cols;) {
                    if (!row[x]) {
                        ++x;
                        continue;
                    }
                    const int start = x;
                    while (x < s.mask.cols && row[x]) ++x;
                    s.runs.push_back(Run{y + s.offset.y, start + s.offset.x, x - start});
                }
            }
        }
        break;
    }
    return stamps.emplace(key, std::move(s)).first->second;
}

void TextPainter::put_text(cv::Mat& canvas, const std::string& text, cv::Point origin, int font, double scale,
                           const cv::Scalar& colour, int thickness) {
    const Stamp& s = stamp(text, font, scale, thickness);
    if (s.mask.empty()) return;
    const cv::Rect where(origin + s.offset, s.mask.size());
    if ((where & cv::Rect(0, 0, canvas.cols, canvas.rows)) != where) {
        // Clipped strokes: leave them to the library.
        cv::putText(canvas, text, origin, font, scale, colour, thickness, cv::LINE_8);
        return;
    }
    if (canvas.type() != CV_8UC3) {
        canvas(where).setTo(colour, s.mask);
        return;
    }
    // Runs of three-byte pixels copied from a row of the colour: far fewer
    // pixels than the mask, and no per-pixel test.
    const uint8_t bgr[3] = {cv::saturate_cast<uint8_t>(colour[0]), cv::saturate_cast<uint8_t>(colour[1]),
                            cv::saturate_cast<uint8_t>(colour[2])};
    for (int i = 0; i < s.mask.cols; ++i) std::memcpy(&pattern[3 * i], bgr, 3);
    for (const Run& run : s.runs)
        std::memcpy(canvas.ptr<uint8_t>(origin.y + run.dy) + 3 * (origin.x + run.dx), pattern.data(),
                    3 * static_cast<size_t>(run.length));
}
