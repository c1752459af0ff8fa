// The last stage of the frame pipeline: reads the network output of a frame
// back from the board, decodes and suppresses the detections, draws them with
// the overlay onto a 1280 x 720 display frame and keeps that frame until the
// display collects it. It also moves the two detection thresholds on keys.
//
// Runs on the caller's thread: download(...) then work() per frame. grab()
// and the threshold callbacks are called from the display thread.
#pragma once

#include "records/bb.hpp"
#include "records/config.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/prepared_frame.hpp"
#include "pipeline/worker.hpp"
#include "postprocess/detection_record.hpp"
#include "postprocess/health_panel.hpp"
#include "postprocess/overlay.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Microseconds of the steps of the post-processing stage's last cycle: the
// download, the duplicate test, the dequantisation, and decoding with
// suppression and drawing, the last also in its five parts.
struct PostProcessTimings {
    int64_t download_us = 0;
    int64_t hash_us = 0;
    int64_t dequantise_us = 0;
    int64_t postprocess_us = 0;
    int64_t decode_us = 0;
    int64_t nms_us = 0;
    int64_t resize_us = 0;
    int64_t boxes_us = 0;
    int64_t overlay_us = 0;
};

class PostProcessWorker : public Source, public MemoryMap {
public:
    PostProcessWorker(std::string id, std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core,
                      std::shared_ptr<Demo> demo, std::shared_ptr<PostProcessing> post);

    // Hands out the canvas drawn last, once, with the number of the frame
    // drawn on it (the upload stage's count, the trace's frame number) in
    // `frame_id`: 0 for the blank and the idle canvas, which show no frame.
    bool grab(std::shared_ptr<cv::Mat>& out, uint64_t& frame_id) override;
    bool okay(std::string& message) override;
    void reset() override;
    std::string get_id() override;
    void work() override;
    CallbackMap get_callbacks() override;

    // Hands in the next frame and reads the network output for it. A read
    // time-out of the link arrives as exception_reset.
    void download(const PreparedFrame& frame, double fps);
    void download(std::shared_ptr<ImageInfo> info, std::shared_ptr<cv::Mat> frame, uint64_t frame_id, double fps) {
        download(PreparedFrame{std::move(frame), frame_id, std::move(info)}, fps);
    }
    void download();

    void process();
    void prepostprocess();
    void postprocess();

    void idle();
    void wait_work_done();

    // Key h: shows or hides the health panel on the canvases drawn from now on.
    void toggle_health_panel();
    bool health_panel_shown() const { return panel_shown.load(); }

    // The detections of the canvas the last grab handed out, once: null for
    // the idle canvas, and on a second call. For the thread that grabs.
    std::shared_ptr<DetectionRecord> take_grabbed_record();

    void increase_threshold_probability();
    void decrease_threshold_probability();
    void increase_threshold_overlap();
    void decrease_threshold_overlap();

    PostProcessTimings timings() const { return times; }

    // Results of the last decoded frame (read by tests and tools).
    uint64_t get_candidate_count() const { return candidate_count; }
    uint64_t get_detection_count() const { return detection_count; }
    const std::vector<float>& get_detection_probs() const { return detection_probs; }
    const std::vector<int>& get_detection_classes() const { return detection_classes; }
    const std::vector<BB>& get_detection_bbs() const { return detection_bbs; }
    // The thresholds, labels and colours the stage draws with.
    const std::shared_ptr<PostProcessing>& post_processing() const { return post; }

private:
    uint64_t candidate_count = 0;
    uint64_t detection_count = 0;
    std::vector<float> float_data;  // storage of float_planes, one block
    std::vector<cv::Mat> float_planes;
    std::vector<cv::Mat> raw_planes;
    std::vector<uint32_t> output_words;
    std::shared_ptr<UDPInterface> link;
    std::string id;
    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<PostProcessing> post;
    // The frame whose results are read and drawn.
    PreparedFrame input;
    double last_fps = 0.0;
    std::shared_ptr<cv::Mat> output_frame;
    // The number of the frame drawn on output_frame (under `mutex`).
    uint64_t output_frame_number = 0;
    std::atomic<bool> ready{false};
    std::mutex mutex;
    std::vector<float> candidate_probs;
    std::vector<int> candidate_classes;
    std::vector<BB> candidate_bbs;
    std::vector<float> detection_probs;
    std::vector<int> detection_classes;
    std::vector<BB> detection_bbs;
    // Indices of the candidates the suppression keeps, one per candidate.
    std::vector<uint64_t> kept;
    cv::Mat logo_left;
    cv::Mat logo_right;
    cv::Mat logo_left_mask;
    cv::Mat logo_right_mask;
    std::shared_ptr<cv::Mat> idle_frame;
    uint64_t last_hash = ~uint64_t{0};
    bool changed = false;
    std::chrono::steady_clock::time_point download_start;
    std::chrono::steady_clock::time_point cycle_end;
    OverlayPainter painter;
    PostProcessTimings times;
    HealthPanel panel;
    std::atomic<bool> panel_shown{false};
    std::atomic<bool> panel_toggled{false};
    std::atomic<bool> panel_restart{false};
    // The record of output_frame (under `mutex`), and of the canvas grab
    // handed out last (the grabbing thread's).
    std::shared_ptr<DetectionRecord> record;
    std::shared_ptr<DetectionRecord> grabbed_record;

    void load_logos();
    static void step_threshold(std::atomic<float>& threshold, double step);
};
