#include "display/status_line.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int BAND_HEIGHT = 44;

std::mutex status_mutex;
std::string current_text;
// The end of the wait the line counts down to; the epoch: none.
Clock::time_point current_until{};

void set_status(const std::string& text, Clock::time_point until) {
    std::lock_guard<std::mutex> lock(status_mutex);
    current_text = text;
    current_until = until;
}

}  // namespace

ShowStatus::ShowStatus(const std::string& text) : ShowStatus(text, Clock::time_point{}) {}

ShowStatus::ShowStatus(const std::string& text, Clock::time_point until) {
    std::lock_guard<std::mutex> lock(status_mutex);
    previous_text = current_text;
    previous_until = current_until;
    current_text = text;
    current_until = until;
}

ShowStatus::~ShowStatus() { set_status(previous_text, previous_until); }

std::string status_text(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(status_mutex);
    if (current_text.empty() || current_until == Clock::time_point{}) return current_text;
    const auto left = std::chrono::ceil<std::chrono::seconds>(std::max(current_until - now, Clock::duration::zero()));
    return current_text + ": " + std::to_string(left.count()) + " s left";
}

cv::Mat with_status(const cv::Mat& canvas, const std::string& text) {
    cv::Mat shown = canvas.clone();
    if (shown.empty() || text.empty()) return shown;
    const int band = std::min(BAND_HEIGHT, shown.rows);
    cv::rectangle(shown, cv::Rect(0, shown.rows - band, shown.cols, band), cv::Scalar(48, 48, 48), cv::FILLED);
    cv::putText(shown, text, cv::Point(16, shown.rows - band / 2 + 10), cv::FONT_HERSHEY_SIMPLEX, 0.9,
                cv::Scalar(255, 255, 255), 2, cv::LINE_AA);
    return shown;
}
