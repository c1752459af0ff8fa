#include "remote/live_figures.hpp"

#include "postprocess/json_text.hpp"

namespace {

std::string json_object(const NamedFigures& figures) {
    std::string out = "{";
    for (size_t i = 0; i < figures.size(); ++i) {
        if (i > 0) out += ',';
        out += json_string(figures[i].first) + ':' + json_number(figures[i].second);
    }
    return out + '}';
}

}  // namespace

void LiveFigures::set_canvas(std::shared_ptr<const cv::Mat> image, uint64_t frame, double latency) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        canvas.image = std::move(image);
        canvas.frame = frame;
        canvas.sequence += 1;
        latency_ms = latency;
    }
    canvas_came.notify_all();
}

void LiveFigures::set_rates(double rate, NamedFigures stages) {
    std::lock_guard<std::mutex> lock(mutex);
    fps = rate;
    stage_ms = std::move(stages);
}

void LiveFigures::set_counters(NamedFigures values) {
    std::lock_guard<std::mutex> lock(mutex);
    counters = std::move(values);
}

void LiveFigures::set_detections_json(std::string json) {
    std::lock_guard<std::mutex> lock(mutex);
    detections = std::move(json);
}

LiveCanvas LiveFigures::wait_canvas(uint64_t after, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!canvas_came.wait_for(lock, limit, [&] { return canvas.sequence > after && canvas.image; })) return {};
    return canvas;
}

std::string LiveFigures::stats_json(const std::string& extra) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::string out = "{\"frame\":" + std::to_string(canvas.frame) + ",\"canvases\":" + std::to_string(canvas.sequence) +
                      ",\"fps\":" + json_number(fps) + ",\"latency_ms\":" +
                      (latency_ms < 0 ? std::string("null") : json_number(latency_ms)) +
                      ",\"stages_ms\":" + json_object(stage_ms) + ",\"counters\":" + json_object(counters);
    if (!extra.empty()) out += ',' + extra;
    return out + '}';
}

std::string LiveFigures::detections_json() const {
    std::lock_guard<std::mutex> lock(mutex);
    return detections;
}
