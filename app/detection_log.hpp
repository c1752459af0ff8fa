// What becomes of the detections of every shown frame: the frame gets its
// number and its times, its latency from grab to shown becomes the session's
// latest figure, its record is kept as the latest one, and with a file it is
// written there as one JSON line, flushed at once (so `tail -f` follows it
// and the file is complete however the program ends).
#pragma once

#include "postprocess/detection_record.hpp"

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <mutex>
#include <string>

class DetectionLog {
public:
    // Keeps the latest record only.
    DetectionLog() = default;
    // Also writes every record to `path`, which is created or emptied here;
    // one that cannot be written raises exception_fatal.
    explicit DetectionLog(const std::string& path);
    ~DetectionLog();
    DetectionLog(const DetectionLog&) = delete;
    DetectionLog& operator=(const DetectionLog&) = delete;

    // The frame of `record` was shown at `shown`. A line that cannot be
    // written raises exception_fatal.
    void frame_shown(DetectionRecord& record, std::chrono::steady_clock::time_point shown);

    // The latest shown frame's record as JSON; "" before the first. Any thread.
    std::string latest_json() const;

private:
    mutable std::mutex mutex;
    std::FILE* file = nullptr;
    std::string path;
    uint64_t frames = 0;
    std::string latest;
};
