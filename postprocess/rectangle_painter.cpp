#include "postprocess/rectangle_painter.hpp"

#include <opencv2/imgproc.hpp>

#include <cstring>

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
