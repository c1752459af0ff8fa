#include "postprocess/detection_record.hpp"

#include "postprocess/json_text.hpp"

#include <cmath>
#include <cstdio>

namespace {

// JSON has no NaN or infinity: a record writes those as 0.
std::string number(double value, int digits = 3) { return json_number(std::isfinite(value) ? value : 0.0, digits); }

std::string box_json(const BB& b) {
    return "{\"left\":" + number(b.left) + ",\"top\":" + number(b.top) + ",\"right\":" + number(b.right) +
           ",\"bottom\":" + number(b.bottom) + "}";
}

}  // namespace

double latency_ms(const DetectionRecord& r) {
    return std::chrono::duration<double, std::milli>(r.shown - r.grabbed).count();
}

std::string detection_record_json(const DetectionRecord& r) {
    std::string out = "{\"frame\":" + std::to_string(r.frame) + ",\"source\":" + json_string(r.origin.source);
    if (!r.origin.image.empty()) out += ",\"image\":" + json_string(r.origin.image);
    if (r.origin.video_frame >= 0) out += ",\"video_frame\":" + std::to_string(r.origin.video_frame);
    if (r.origin.camera >= 0) out += ",\"camera\":" + std::to_string(r.origin.camera);
    out += ",\"ms\":" + number(r.ms_since_start) + ",\"threshold_probability\":" + number(r.threshold_probability, 4) +
           ",\"threshold_overlap\":" + number(r.threshold_overlap, 4) + ",\"latency_ms\":" + number(latency_ms(r)) +
           ",\"detections\":[";
    for (size_t i = 0; i < r.detections.size(); ++i) {
        const DetectionEntry& d = r.detections[i];
        if (i > 0) out += ',';
        out += "{\"class_id\":" + std::to_string(d.class_id) + ",\"class\":" + json_string(d.class_name) +
               ",\"score\":" + number(d.score, 4) + ",\"box\":" + box_json(d.source_box) +
               ",\"canvas_box\":" + box_json(d.canvas_box) + "}";
    }
    return out + "]}";
}
