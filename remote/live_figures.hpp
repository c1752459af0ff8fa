// What the show hands to the stream server: the newest canvas with its
// frame number, the frame rate, the stages' times, the latency from grab to
// shown, named health counters and the current frame's detections as JSON.
// The program's threads set them as they come; the server's threads read
// them. Every call takes one short lock and never waits for a reader.
#pragma once

#include "link/link_counters.hpp"

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Named figures, as the session health lists them.
using NamedFigures = NamedValues;

// A canvas as handed in, numbered in the order of arrival.
struct LiveCanvas {
    std::shared_ptr<const cv::Mat> image;
    uint64_t frame = 0;     // the pipeline's number of the frame drawn on it
    uint64_t sequence = 0;  // 1 for the first canvas handed in, and so on
};

class LiveFigures {
public:
    // A canvas (1280 x 720 BGR) the window has just shown; it must not change
    // afterwards. `latency_ms` below 0: not known (a canvas with no frame).
    void set_canvas(std::shared_ptr<const cv::Mat> canvas, uint64_t frame, double latency_ms);
    // The frame rate and each stage's time of the last frame, in milliseconds.
    void set_rates(double fps, NamedFigures stage_ms);
    void set_counters(NamedFigures counters);
    // The detections of the frame on the newest canvas, as a JSON value.
    void set_detections_json(std::string json);

    // The newest canvas when it is newer than `after` (a sequence number);
    // waits up to `limit` for one. Empty image: none came in time.
    LiveCanvas wait_canvas(uint64_t after, std::chrono::milliseconds limit);

    // The latest figures as one JSON object, `extra` (a JSON object's members,
    // without braces) added at its end.
    std::string stats_json(const std::string& extra = "") const;
    // The latest detections; "[]" before any.
    std::string detections_json() const;

private:
    mutable std::mutex mutex;
    std::condition_variable canvas_came;
    LiveCanvas canvas;
    double latency_ms = -1.0;
    double fps = 0.0;
    NamedFigures stage_ms;
    NamedFigures counters;
    std::string detections = "[]";
};
