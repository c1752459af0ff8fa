#include "postprocess/health_panel.hpp"

#include "pipeline/session_health.hpp"

#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <string>

namespace {

constexpr std::chrono::seconds WINDOW{10};

std::string line(const char* format, double a, double b = 0.0, double c = 0.0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

void HealthPanel::draw(cv::Mat& canvas, Clock::time_point now) {
    const LinkCounters& link = link_counters();
    const LoopCounters& loop = loop_counters();
    const Sample current{now, link.reply_timeouts.load(std::memory_order_relaxed),
                         link.attempts_retried.load(std::memory_order_relaxed)};
    samples.push_back(current);
    while (samples.size() > 1 && samples[1].at <= now - WINDOW) samples.pop_front();
    const Sample& base = samples.front();

    const std::string lines[] = {
        line("Frame rate   %.1f fps", figure(loop.frame_rate_milli) / 1000.0),
        line("Upload %.1f  core %.1f  post %.1f ms", figure(loop.upload_us) / 1000.0, figure(loop.core_us) / 1000.0,
             figure(loop.postprocess_us) / 1000.0),
        line("Latency      %.1f ms", figure(loop.latency_us) / 1000.0),
        line("Time-outs %.0f  retries %.0f (10 s)", static_cast<double>(current.timeouts - base.timeouts),
             static_cast<double>(current.retries - base.retries)),
        line("Board resets %.0f", static_cast<double>(loop.board_resets.load(std::memory_order_relaxed))),
    };
    const cv::Rect area(10, 10, 330, 20 + 22 * 5);
    if (canvas.empty() || area.br().x > canvas.cols || area.br().y > canvas.rows) return;
    cv::rectangle(canvas, area, cv::Scalar(40, 40, 40), cv::FILLED);
    int y = area.y + 26;
    for (const std::string& text : lines) {
        cv::putText(canvas, text, cv::Point(area.x + 10, y), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(255, 255, 255),
                    1, cv::LINE_AA);
        y += 22;
    }
}
