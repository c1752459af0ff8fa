#include "postprocess/segmentation.hpp"

#include "postprocess/canvas.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>

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
