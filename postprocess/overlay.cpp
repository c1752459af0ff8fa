#include "postprocess/overlay.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const cv::Scalar BAR_COLOUR(214, 214, 214);
const cv::Scalar WHITE(255, 255, 255);
const cv::Scalar BLACK(0, 0, 0);

// Stamps are cheap to redo; the bound only keeps odd inputs (a frame rate
// that changes every frame, say) from growing the cache without end.
constexpr size_t MAX_STAMPS = 1024;

cv::Mat to_8bit(const cv::Mat& image) {
    if (image.depth() == CV_8U) return image;
    cv::Mat out;
    if (image.depth() == CV_16U)
        image.convertTo(out, CV_8U, 1.0 / 257.0);
    else
        image.convertTo(out, CV_8U);
    return out;
}

}  // namespace

CanvasGeometry canvas_geometry(int rows, int cols) {
    CanvasGeometry g;
    if (rows <= 0 || cols <= 0) return g;
    g.d = std::min(static_cast<float>(CANVAS_HEIGHT) / rows, static_cast<float>(CANVAS_WIDTH) / cols);
    g.sw = static_cast<int>(std::round(cols * g.d));
    g.sh = static_cast<int>(std::round(rows * g.d));
    // Rounding can overshoot the canvas by a pixel on the tight side.
    g.sw = std::min(g.sw, CANVAS_WIDTH);
    g.sh = std::min(g.sh, CANVAS_HEIGHT);
    g.left = (CANVAS_WIDTH - g.sw) / 2;
    g.right = CANVAS_WIDTH - g.sw - g.left;
    g.top = (CANVAS_HEIGHT - g.sh) / 2;
    g.bottom = CANVAS_HEIGHT - g.sh - g.top;
    return g;
}

Logo prepare_logo(const cv::Mat& file_image) {
    Logo logo;
    const cv::Mat image = to_8bit(file_image);
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    if (channels.size() == 4 || channels.size() == 2) {
        logo.mask = channels.back();
        const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3), cv::Point(1, 1));
        cv::erode(logo.mask, logo.mask, element);
        channels.pop_back();
    } else {
        logo.mask = cv::Mat(image.rows, image.cols, CV_8UC1, cv::Scalar(255));
    }
    if (channels.size() == 1) {
        cv::cvtColor(channels[0], logo.image, cv::COLOR_GRAY2BGR);
    } else {
        cv::merge(channels, logo.image);
    }
    return logo;
}

void scale_logo_to_height(Logo& logo, int height) {
    if (logo.image.empty() || height <= 0) return;
    const float k = static_cast<float>(logo.image.rows) / height;
    const cv::Size size(static_cast<int>(std::round(logo.image.cols / k)),
                        static_cast<int>(std::round(logo.image.rows / k)));
    if (size.width <= 0 || size.height <= 0) return;
    cv::resize(logo.image, logo.image, size, 0, 0, cv::INTER_LINEAR);
    cv::resize(logo.mask, logo.mask, size, 0, 0, cv::INTER_LINEAR);
}

void paste_logo(cv::Mat& canvas, const Logo& logo, cv::Point at) {
    if (logo.image.empty()) return;
    const cv::Rect where(at, logo.image.size());
    const cv::Rect inside = where & cv::Rect(0, 0, canvas.cols, canvas.rows);
    if (inside.empty()) return;
    const cv::Rect part(inside.x - where.x, inside.y - where.y, inside.width, inside.height);
    cv::Mat target = canvas(inside);
    logo.image(part).copyTo(target, logo.mask(part));
}

std::shared_ptr<cv::Mat> make_idle_frame(const Logo& logo) {
    auto idle = std::make_shared<cv::Mat>(CANVAS_HEIGHT, CANVAS_WIDTH, CV_8UC3, WHITE);
    if (logo.image.empty()) return idle;
    const float k = static_cast<float>(logo.image.cols) / 1260.0f;
    const cv::Size size(static_cast<int>(std::round(logo.image.cols / k)),
                        static_cast<int>(std::round(logo.image.rows / k)));
    if (size.width <= 0 || size.height <= 0) return idle;
    Logo scaled;
    cv::resize(logo.image, scaled.image, size, 0, 0, cv::INTER_LINEAR);
    cv::resize(logo.mask, scaled.mask, size, 0, 0, cv::INTER_LINEAR);
    paste_logo(*idle, scaled, cv::Point(10, 60));
    return idle;
}

cv::Mat place_frame(const cv::Mat& source, const CanvasGeometry& g) {
    cv::Mat canvas(CANVAS_HEIGHT, CANVAS_WIDTH, CV_8UC3);
    if (source.empty() || g.sw <= 0 || g.sh <= 0) {
        canvas.setTo(BAR_COLOUR);
        return canvas;
    }
    cv::Mat bgr = source;
    if (source.depth() != CV_8U) bgr = to_8bit(source);
    if (bgr.channels() == 1) cv::cvtColor(bgr, bgr, cv::COLOR_GRAY2BGR);
    else if (bgr.channels() == 4) cv::cvtColor(bgr, bgr, cv::COLOR_BGRA2BGR);
    // Bars first, then the frame straight into its window: the same pixels as
    // resizing and then extending the border, with one copy fewer.
    if (g.top > 0) canvas.rowRange(0, g.top).setTo(BAR_COLOUR);
    if (g.bottom > 0) canvas.rowRange(CANVAS_HEIGHT - g.bottom, CANVAS_HEIGHT).setTo(BAR_COLOUR);
    if (g.left > 0) canvas(cv::Rect(0, g.top, g.left, g.sh)).setTo(BAR_COLOUR);
    if (g.right > 0) canvas(cv::Rect(CANVAS_WIDTH - g.right, g.top, g.right, g.sh)).setTo(BAR_COLOUR);
    cv::Mat window = canvas(cv::Rect(g.left, g.top, g.sw, g.sh));
    if (bgr.cols == g.sw && bgr.rows == g.sh)
        bgr.copyTo(window);
    else
        cv::resize(bgr, window, window.size(), 0, 0, cv::INTER_LINEAR);
    return canvas;
}

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

RectanglePainter::RectanglePainter(int thickness_) : thickness(thickness_) {
    k = thickness + 2;
    const int length = 4 * k + 8;  // prototype side
    const int p = 2 * k;           // its corner's distance from the mask edge
    cv::Mat m = cv::Mat::zeros(2 * p + length + 1, 2 * p + length + 1, CV_8UC1);
    cv::rectangle(m, cv::Point(p, p), cv::Point(p + length, p + length), cv::Scalar(255), thickness, cv::LINE_8);

    // Ink only within k of the outline's corners and lines.
    const cv::Rect ink = cv::boundingRect(m);
    if (ink.x < p - k || ink.y < p - k || ink.br().x > p + length + k + 1 || ink.br().y > p + length + k + 1) return;

    // Every row between the corners must be the same, and in every row every
    // column between the corners the same: then the straight parts repeat.
    auto row_of = [&](int y) {
        Row row;
        const uint8_t* r = m.ptr<uint8_t>(y);
        for (int x = p + k + 2; x < p + length - k; ++x)
            if (r[x] != r[p + k + 1]) return std::make_pair(row, false);
        row.middle = r[p + k + 1] != 0;
        auto runs = [&](int from, int to, int origin, std::vector<std::pair<int, int>>& out) {
            for (int x = from; x <= to;) {
                if (!r[x]) {
                    ++x;
                    continue;
                }
                const int start = x;
                while (x <= to && r[x]) ++x;
                out.emplace_back(start - origin, x - start);
            }
        };
        runs(p - k, p + k, p, row.left);
        runs(p + length - k, p + length + k, p + length, row.right);
        return std::make_pair(row, true);
    };
    for (int y = p + k + 2; y < p + length - k; ++y)
        if (cv::norm(m.row(y), m.row(p + k + 1), cv::NORM_INF) != 0) return;
    bool ok = true;
    auto take = [&](int y) {
        auto r = row_of(y);
        ok = ok && r.second;
        return r.first;
    };
    for (int dy = -k; dy <= k; ++dy) top.push_back(take(p + dy));
    for (int dy = -k; dy <= k; ++dy) bottom.push_back(take(p + length + dy));
    centre = take(p + k + 1);
    usable = ok;
}

void RectanglePainter::fill(cv::Mat& canvas, int y, int x1, int x2, const Row& row, int length) {
    uint8_t* line = canvas.ptr<uint8_t>(y);
    for (const auto& run : row.left) std::memcpy(line + 3 * (x1 + run.first), pattern.data(), 3 * size_t(run.second));
    if (row.middle && length > 0) std::memcpy(line + 3 * (x1 + k + 1), pattern.data(), 3 * size_t(length));
    for (const auto& run : row.right) std::memcpy(line + 3 * (x2 + run.first), pattern.data(), 3 * size_t(run.second));
}

void RectanglePainter::draw(cv::Mat& canvas, cv::Point p1, cv::Point p2, const cv::Scalar& colour) {
    const int x1 = p1.x, y1 = p1.y, x2 = p2.x, y2 = p2.y;
    const bool fast = usable && canvas.type() == CV_8UC3 && x2 - x1 >= 2 * k + 2 && y2 - y1 >= 2 * k + 2 &&
                      x1 - k >= 0 && y1 - k >= 0 && x2 + k < canvas.cols && y2 + k < canvas.rows;
    if (!fast) {
        cv::rectangle(canvas, p1, p2, colour, thickness, cv::LINE_8);
        return;
    }
    const int span = x2 - x1 - 2 * k - 1;  // columns between the corner parts
    if (pattern.size() < 3 * size_t(span + 2 * k + 1)) pattern.resize(3 * size_t(span + 2 * k + 1));
    const uint8_t bgr[3] = {cv::saturate_cast<uint8_t>(colour[0]), cv::saturate_cast<uint8_t>(colour[1]),
                            cv::saturate_cast<uint8_t>(colour[2])};
    for (size_t i = 0; i + 3 <= pattern.size(); i += 3) std::memcpy(&pattern[i], bgr, 3);
    for (int dy = -k; dy <= k; ++dy) fill(canvas, y1 + dy, x1, x2, top[dy + k], span);
    for (int y = y1 + k + 1; y < y2 - k; ++y) fill(canvas, y, x1, x2, centre, span);
    for (int dy = -k; dy <= k; ++dy) fill(canvas, y2 + dy, x1, x2, bottom[dy + k], span);
}

std::string frame_rate_text(double fps) {
    const double n = std::round(fps);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", n == 0.0 ? 0.0 : n);
    return buffer;
}

std::string threshold_text(float threshold) {
    const float percent = threshold * 100.0f;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f %%", static_cast<double>(percent));
    return buffer;
}

void OverlayPainter::draw_detections(cv::Mat& canvas, const CanvasGeometry& g, uint64_t count, const int* classes,
                                     const BB* boxes, const cv::Mat& colours, const std::vector<std::string>& labels) {
    const float cols = static_cast<float>(canvas.cols);
    const float rows = static_cast<float>(canvas.rows);
    for (uint64_t i = 0; i < count; ++i) {
        const int k = classes[i];
        cv::Scalar colour = WHITE;
        if (k >= 0 && !colours.empty() && colours.type() == CV_8UC3 && k < static_cast<int>(colours.total())) {
            const cv::Vec3b c = colours.at<cv::Vec3b>(k);
            colour = cv::Scalar(c[0], c[1], c[2], 0);
        }
        const BB& b = boxes[i];
        float x1 = b.left * g.d + g.left - 1;
        float x2 = b.right * g.d + g.left - 1;
        float y1 = b.top * g.d + g.top - 1;
        float y2 = b.bottom * g.d + g.top - 1;
        x1 = std::min(std::max(x1, 0.0f), cols);
        x2 = std::min(std::max(x2, 0.0f), cols);
        y1 = std::min(std::max(y1, 0.0f), rows);
        y2 = std::min(std::max(y2, 0.0f), rows);
        // NaN corners fail these comparisons and are skipped too.
        if (!(x2 - x1 > 0) || !(y2 - y1 > 0) || !(x1 >= 0) || !(y1 >= 0)) continue;
        rectangles.draw(canvas, cv::Point(static_cast<int>(x1), static_cast<int>(y1)),
                        cv::Point(static_cast<int>(x2), static_cast<int>(y2)), colour);
        if (k >= 0 && k < static_cast<int>(labels.size()))
            text.put_text(canvas, labels[k], cv::Point(static_cast<int>(x1 + 10), static_cast<int>(y1 + 45)),
                          cv::FONT_HERSHEY_COMPLEX_SMALL, 3.0, colour, 3);
    }
}

void OverlayPainter::draw_frame_rate(cv::Mat& canvas, double fps) {
    const std::string rate = frame_rate_text(fps);
    const cv::Point at(canvas.cols - 150, canvas.rows - 50);
    text.put_text(canvas, rate, at, cv::FONT_HERSHEY_SIMPLEX, 3.0, BLACK, 10);
    text.put_text(canvas, rate, at, cv::FONT_HERSHEY_SIMPLEX, 3.0, WHITE, 4);
    const cv::Point label(canvas.cols - 150, canvas.rows - 125);
    text.put_text(canvas, "FPS", label, cv::FONT_HERSHEY_SIMPLEX, 1.5, BLACK, 7);
    text.put_text(canvas, "FPS", label, cv::FONT_HERSHEY_SIMPLEX, 1.5, WHITE, 2);
}

void OverlayPainter::draw_logos(cv::Mat& canvas, const Logo& left, const Logo& right) {
    paste_logo(canvas, left, cv::Point(30, canvas.rows - 150));
    paste_logo(canvas, right, cv::Point(240, canvas.rows - 150));
}

void OverlayPainter::draw_thresholds(cv::Mat& canvas, float probability, float overlap) {
    text.put_text(canvas, threshold_text(probability), cv::Point(canvas.cols - 60, 20), cv::FONT_HERSHEY_SIMPLEX,
                  0.5, WHITE, 1);
    text.put_text(canvas, threshold_text(overlap), cv::Point(canvas.cols - 60, 40), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                  WHITE, 1);
}

cv::Mat argmax(std::shared_ptr<std::vector<cv::Mat>> planes) {
    if (!planes || planes->empty()) return cv::Mat();
    const cv::Mat& first = (*planes)[0];
    cv::Mat result = cv::Mat::zeros(first.rows, first.cols, CV_8UC1);
    if (planes->size() < 2) return result;
    for (int r = 0; r < first.rows; ++r) {
        uint8_t* out = result.ptr<uint8_t>(r);
        for (int c = 0; c < first.cols; ++c) {
            uint8_t best = first.ptr<uint8_t>(r)[c];
            for (size_t p = 1; p < planes->size(); ++p) {
                const cv::Mat& plane = (*planes)[p];
                if (r >= plane.rows || c >= plane.cols) continue;
                const uint8_t v = plane.ptr<uint8_t>(r)[c];
                if (v > best) {
                    best = v;
                    out[c] = static_cast<uint8_t>(p);
                }
            }
        }
    }
    return result;
}

cv::Mat apply_colourmap(const cv::Mat& image, const cv::Mat& table) {
    cv::Mat colour = image;
    if (image.channels() == 1) cv::cvtColor(image, colour, cv::COLOR_GRAY2BGR);
    cv::Mat result;
    cv::LUT(colour, table, result);
    return result;
}

cv::Mat create_legend(const std::vector<std::string>& labels, const cv::Mat& table) {
    cv::Mat legend = cv::Mat::zeros(512, 320, CV_8UC3);
    if (labels.empty()) return apply_colourmap(legend, table);
    const int n = static_cast<int>(labels.size());
    const int band = 512 / n;
    if (band > 0) {
        for (int i = 0; i < n; ++i) {
            const int value = i % 256;
            legend.rowRange(band * i, std::min(band * (i + 1), 512)).setTo(cv::Scalar(value, value, value));
        }
    }
    legend = apply_colourmap(legend, table);
    for (int j = 0; j < n; ++j)
        cv::putText(legend, labels[j], cv::Point(20, band * j + 48), cv::FONT_HERSHEY_SIMPLEX, 1.5, WHITE, 2,
                    cv::LINE_8);
    return legend;
}

void upsample_and_prosper(std::shared_ptr<std::vector<cv::Mat>>& planes, double factor, int interpolation) {
    if (!planes) return;
    std::vector<cv::Mat> floats;
    floats.reserve(planes->size());
    int maximum = 0;
    int minimum = 255;
    for (const cv::Mat& plane : *planes) {
        cv::Mat f;
        plane.convertTo(f, CV_32F);
        f += 128.0f;
        double lo = 0, hi = 0;
        cv::minMaxLoc(f.reshape(1), &lo, &hi);
        maximum = std::max(maximum, static_cast<int>(hi));
        minimum = std::min(minimum, static_cast<int>(lo));
        floats.push_back(f);
    }
    // A constant input has no range to stretch: it maps to 0.
    const float inverse_range = maximum > minimum ? 1.0f / static_cast<float>(maximum - minimum) : 0.0f;
    auto result = std::make_shared<std::vector<cv::Mat>>();
    result->reserve(floats.size());
    for (cv::Mat& f : floats) {
        f -= static_cast<float>(minimum);
        f *= inverse_range;
        f *= 255.0f;
        cv::Mat bytes;
        f.convertTo(bytes, CV_8U);
        cv::Mat scaled;
        if (!bytes.empty()) cv::resize(bytes, scaled, cv::Size(), factor, factor, interpolation);
        result->push_back(scaled);
    }
    planes = result;
}
