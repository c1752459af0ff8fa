#include "postprocess/detection_record.hpp"

#include <cmath>
#include <cstdio>

namespace {

// A finite number with up to `digits` decimals (trailing zeros dropped);
// JSON has no NaN or infinity, so those are written as 0.
std::string number(double value, int digits = 3) {
    if (!std::isfinite(value)) value = 0.0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    std::string out = text;
    if (out.find('.') != std::string::npos) {
        while (out.back() == '0') out.pop_back();
        if (out.back() == '.') out.pop_back();
    }
    if (out == "-0") out = "0";
    return out;
}

std::string box_json(const BB& b) {
    return "{\"left\":" + number(b.left) + ",\"top\":" + number(b.top) + ",\"right\":" + number(b.right) +
           ",\"bottom\":" + number(b.bottom) + "}";
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

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
