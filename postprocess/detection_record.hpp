// The detections of one shown frame as data: where the frame came from, when,
// under which thresholds, how long it took from grab to shown, and every box
// drawn, in source-frame pixels and in canvas pixels. One record is one JSON
// object on one line (the detection file's lines, the page's latest frame).
#pragma once

#include "records/bb.hpp"
#include "records/image_info.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct DetectionEntry {
    int class_id = 0;
    std::string class_name;
    float score = 0.0f;
    BB source_box;  // source-frame pixels
    BB canvas_box;  // canvas pixels, as drawn
};

struct DetectionRecord {
    uint64_t frame = 0;  // shown frames with a record, counted from 1
    FrameOrigin origin;
    std::chrono::steady_clock::time_point grabbed{};
    std::chrono::steady_clock::time_point shown{};
    double ms_since_start = 0.0;
    float threshold_probability = 0.0f;
    float threshold_overlap = 0.0f;
    std::vector<DetectionEntry> detections;
};

// Milliseconds from grab to shown.
double latency_ms(const DetectionRecord& record);

// The record as one JSON object, without a line end. Fields: "frame",
// "source", then "image", "video_frame" or "camera" where they apply, "ms",
// "threshold_probability", "threshold_overlap", "latency_ms" (grab to shown)
// and "detections": objects with "class_id", "class", "score", "box" and
// "canvas_box", each box {"left", "top", "right", "bottom"}.
std::string detection_record_json(const DetectionRecord& record);
