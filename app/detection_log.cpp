#include "app/detection_log.hpp"

#include "pipeline/session_health.hpp"
#include "platform/fatal_error.hpp"

namespace {

[[noreturn]] void cannot_write(const std::string& path) {
    throw exception_fatal({"ERROR: Unable to write detections file", "\tFile path:\t" + path});
}

}  // namespace

DetectionLog::DetectionLog(const std::string& path_) : path(path_) {
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) cannot_write(path);
}

DetectionLog::~DetectionLog() {
    if (file != nullptr) std::fclose(file);
}

void DetectionLog::frame_shown(DetectionRecord& record, std::chrono::steady_clock::time_point shown) {
    record.shown = shown;
    record.ms_since_start = std::chrono::duration<double, std::milli>(shown - session_start()).count();
    set_figure(loop_counters().latency_us, static_cast<int64_t>(latency_ms(record) * 1000.0));
    std::lock_guard<std::mutex> lock(mutex);
    record.frame = ++frames;
    latest = detection_record_json(record);
    if (file == nullptr) return;
    const bool written = std::fputs(latest.c_str(), file) >= 0 && std::fputc('\n', file) != EOF && std::fflush(file) == 0;
    if (!written) cannot_write(path);
}

std::string DetectionLog::latest_json() const {
    std::lock_guard<std::mutex> lock(mutex);
    return latest;
}
