#include "postprocess/post_process_worker.hpp"

#include "pipeline/key_codes.hpp"
#include "platform/fatal_error.hpp"
#include "platform/trace.hpp"
#include "postprocess/nms.hpp"
#include "postprocess/yolo.hpp"

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

int64_t micros_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / 1000;
}

}  // namespace

PostProcessWorker::PostProcessWorker(std::string id_, std::shared_ptr<UDPInterface> link_,
                                     std::shared_ptr<Core> core_, std::shared_ptr<Demo> demo_,
                                     std::shared_ptr<PostProcessing> post_)
    : link(std::move(link_)), id(std::move(id_)), core(std::move(core_)), demo(std::move(demo_)),
      post(std::move(post_)) {
    output_words.assign((core->output_size + 3) / 4, 0u);

    // The raw planes view the download buffer; the float planes view one
    // block of their own. Planes that would reach past the block are left out.
    const uint64_t plane_size = core->grid_height * core->grid_width;
    const int rows = static_cast<int>(core->grid_height);
    const int cols = static_cast<int>(core->grid_width);
    uint64_t planes = core->output_channels;
    if (plane_size > 0 && planes * plane_size > output_words.size() * 4) planes = output_words.size() * 4 / plane_size;
    float_data.assign(planes * plane_size, 0.0f);
    auto* bytes = reinterpret_cast<int8_t*>(output_words.data());
    for (uint64_t c = 0; c < planes; ++c) {
        raw_planes.emplace_back(rows, cols, CV_8SC1, bytes + c * plane_size);
        float_planes.emplace_back(rows, cols, CV_32FC1, float_data.data() + c * plane_size);
    }

    output_frame = std::make_shared<cv::Mat>(CANVAS_HEIGHT, CANVAS_WIDTH, CV_8UC3, cv::Scalar(0, 0, 0));
    ready.store(true);
    input.image = std::make_shared<cv::Mat>();

    load_logos();

    const uint64_t capacity = core->grid_height * core->grid_width * core->boxes_per_cell;
    candidate_probs.assign(capacity, 0.0f);
    candidate_classes.assign(capacity, 0);
    candidate_bbs.assign(capacity, BB{});
    detection_probs.assign(capacity, 0.0f);
    detection_classes.assign(capacity, 0);
    detection_bbs.assign(capacity, BB{});
    kept.assign(capacity + 1, 0);

    last_frame_id = NO_FRAME_ID;
    last_hash = ~uint64_t{0};
}

namespace {

// A missing file reads as empty, without the imaging library's own warning.
cv::Mat read_logo(const std::string& path) {
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored)) return cv::Mat();
    return cv::imread(path, cv::IMREAD_UNCHANGED);
}

}  // namespace

void PostProcessWorker::load_logos() {
    const cv::Mat left = read_logo("../data/mox_logo.png");
    const cv::Mat right = read_logo("../data/pyr_logo.png");
    if (left.empty() || right.empty()) {
        throw exception_fatal({"ERROR: Could not load logos"});
    }
    Logo l = prepare_logo(left);
    Logo r = prepare_logo(right);
    idle_frame = make_idle_frame(r);
    scale_logo_to_height(l, 120);
    scale_logo_to_height(r, 120);
    logo_left = l.image;
    logo_left_mask = l.mask;
    logo_right = r.image;
    logo_right_mask = r.mask;
}

void PostProcessWorker::download(const PreparedFrame& frame, double fps) {
    download_start = Clock::now();
    input = frame;
    changed = (frame.id != last_frame_id) || (fps != last_fps);
    download();
    times.download_us = micros_since(download_start);
    trace::record(trace::Stage::download, traced_frame(input.info), download_start);
    last_fps = fps;
    last_frame_id = frame.id;
}

void PostProcessWorker::download() {
    const uint64_t words = static_cast<uint64_t>(std::ceil(core->output_size * 0.25));
    const uint32_t address = static_cast<uint32_t>(core->address_output + pingpong * core->offset_pingpong);
    try {
        link->udp_read_stream_ddr(output_words.data(), address,
                                  static_cast<uint32_t>(std::min<uint64_t>(words, output_words.size())));
    } catch (const exception_readtimeout& e) {
        throw exception_reset(std::string("exception_reset in post_processing node @download: ") + e.what());
    }
}

void PostProcessWorker::work() { process(); }

void PostProcessWorker::process() {
    auto t = Clock::now();
    uint64_t hash = ~uint64_t{0};
    if (!demo->ignore_duplicate_frames) {
        const size_t size = std::min<uint64_t>(core->output_size, output_words.size() * 4);
        hash = std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(output_words.data()), size));
    }
    times.hash_us = micros_since(t);
    changed = changed || (hash != last_hash);
    // A panel shown or hidden needs a new drawing even of the same results.
    if (panel_toggled.exchange(false)) changed = true;

    if (!demo->ignore_duplicate_frames || changed) {
        t = Clock::now();
        prepostprocess();
        times.dequantise_us = micros_since(t);
        t = Clock::now();
        postprocess();
        times.postprocess_us = micros_since(t);
    } else {
        // Nothing decoded or drawn: no stale times in the debug line.
        times.dequantise_us = 0;
        times.postprocess_us = 0;
    }
    cycle_end = Clock::now();
    duration_us = std::chrono::duration_cast<std::chrono::nanoseconds>(cycle_end - download_start).count() / 1000;
    last_hash = hash;
}

void PostProcessWorker::prepostprocess() {
    dequantise_planes(raw_planes, float_planes, core->output_scale, core->output_bias, core->output_fraction_bits);
}

void PostProcessWorker::postprocess() {
    if (!input.info) {
        throw exception_fatal({"Invalid Image Info"});
    }
    trace::Span decode(trace::Stage::decode, traced_frame(input.info));
    auto t = Clock::now();
    const DecodeSettings settings = decode_settings(*core, *demo, *post, *input.info);
    candidate_count =
        decode_yolo(float_planes, settings, candidate_probs.data(), candidate_classes.data(), candidate_bbs.data());
    times.decode_us = micros_since(t);

    t = Clock::now();
    const float x = 1.0f - post->threshold_overlap.load(std::memory_order_relaxed);
    uint64_t kept_count = 0;
    suppression::nms(candidate_count, candidate_probs, candidate_bbs, kept.data(), kept_count, x);
    for (uint64_t i = 0; i < kept_count; ++i) {
        detection_probs[i] = candidate_probs[kept[i]];
        detection_classes[i] = candidate_classes[kept[i]];
        detection_bbs[i] = candidate_bbs[kept[i]];
    }
    detection_count = kept_count;
    times.nms_us = micros_since(t);

    // The frame is drawn off to the side and swapped in under the lock, so
    // the display never sees it half-drawn and is not held up meanwhile.
    decode.end();
    trace::Span draw(trace::Stage::draw, traced_frame(input.info));
    t = Clock::now();
    static const cv::Mat no_frame;
    const cv::Mat& source = input.image ? *input.image : no_frame;
    const CanvasGeometry g = canvas_geometry(source.rows, source.cols);
    auto frame = std::make_shared<cv::Mat>(place_frame(source, g));
    times.resize_us = micros_since(t);

    t = Clock::now();
    painter.draw_detections(*frame, g, detection_count, detection_classes.data(), detection_bbs.data(),
                            post->colours, post->labels);
    auto drawn = std::make_shared<DetectionRecord>();
    drawn->origin = input.info->origin;
    drawn->grabbed = input.info->grabbed;
    drawn->threshold_probability = settings.threshold_probability;
    drawn->threshold_overlap = post->threshold_overlap.load(std::memory_order_relaxed);
    for (uint64_t i = 0; i < detection_count; ++i) {
        DetectionEntry entry;
        if (!canvas_box(detection_bbs[i], g, frame->cols, frame->rows, entry.canvas_box)) continue;
        entry.class_id = detection_classes[i];
        if (entry.class_id >= 0 && entry.class_id < static_cast<int>(post->labels.size()))
            entry.class_name = post->labels[entry.class_id];
        entry.score = detection_probs[i];
        entry.source_box = detection_bbs[i];
        drawn->detections.push_back(std::move(entry));
    }
    times.boxes_us = micros_since(t);

    t = Clock::now();
    painter.draw_frame_rate(*frame, last_fps);
    painter.draw_logos(*frame, Logo{logo_left, logo_left_mask}, Logo{logo_right, logo_right_mask});
    painter.draw_thresholds(*frame, post->threshold_probability.load(std::memory_order_relaxed),
                            post->threshold_overlap.load(std::memory_order_relaxed));
    if (panel_restart.exchange(false)) panel.restart();
    if (panel_shown.load(std::memory_order_relaxed)) panel.draw(*frame, Clock::now());
    {
        std::lock_guard<std::mutex> lock(mutex);
        output_frame = std::move(frame);
        record = std::move(drawn);
        output_frame_number = traced_frame(input.info);
        ready.store(true);
    }
    times.overlay_us = micros_since(t);
}

bool PostProcessWorker::grab(std::shared_ptr<cv::Mat>& out, uint64_t& frame_id) {
    if (!ready.load()) return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!ready.load()) return false;
    if (!output_frame) {
        throw exception_fatal({"FRAME NULL"});
    }
    out = std::move(output_frame);
    output_frame.reset();
    grabbed_record = std::move(record);
    record.reset();
    frame_id = output_frame_number;
    ready.store(false);
    return true;
}

void PostProcessWorker::idle() {
    std::lock_guard<std::mutex> lock(mutex);
    output_frame = idle_frame;
    record.reset();
    output_frame_number = 0;
    last_frame_id = 0;
    ready.store(true);
}

bool PostProcessWorker::okay(std::string& message) {
    message.clear();
    return true;
}

void PostProcessWorker::reset() {
    last_frame_id = NO_FRAME_ID;
    last_hash = ~uint64_t{0};
}

std::string PostProcessWorker::get_id() { return id; }

// The stage runs on the caller's thread: its work is done when work() returns.
void PostProcessWorker::wait_work_done() {}

CallbackMap PostProcessWorker::get_callbacks() {
    CallbackMap callbacks;
    callbacks[KEY_Q] = [this] { decrease_threshold_probability(); };
    callbacks[KEY_W] = [this] { increase_threshold_probability(); };
    callbacks[KEY_A] = [this] { decrease_threshold_overlap(); };
    callbacks[KEY_S] = [this] { increase_threshold_overlap(); };
    callbacks[KEY_H] = [this] { toggle_health_panel(); };
    return callbacks;
}

void PostProcessWorker::toggle_health_panel() {
    // Shown from here: the panel's counts start with this showing.
    if (!panel_shown.load()) panel_restart.store(true);
    panel_shown.store(!panel_shown.load());
    panel_toggled.store(true);
}

std::shared_ptr<DetectionRecord> PostProcessWorker::take_grabbed_record() { return std::move(grabbed_record); }

void PostProcessWorker::step_threshold(std::atomic<float>& threshold, double step) {
    const double v = static_cast<double>(threshold.load()) + step;
    float stored;
    if (v <= 0.0)
        stored = 0.0f;
    else if (v < 1.0)
        stored = static_cast<float>(v);
    else
        stored = 1.0f;
    threshold.store(stored);
}

void PostProcessWorker::increase_threshold_probability() { step_threshold(post->threshold_probability, 0.025); }
void PostProcessWorker::decrease_threshold_probability() { step_threshold(post->threshold_probability, -0.025); }
void PostProcessWorker::increase_threshold_overlap() { step_threshold(post->threshold_overlap, 0.025); }
void PostProcessWorker::decrease_threshold_overlap() { step_threshold(post->threshold_overlap, -0.025); }
