#include "postprocess/logo.hpp"

#include "postprocess/canvas.hpp"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

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
