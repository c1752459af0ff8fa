// What the restart loop drives: a program's frame loop. The two programs'
// loops share the stages they drive, a new upload stage per restart, the
// choice between the one-space and the two-space form, the cycle around each
// frame with its recovery, and the debug line.
#pragma once

#include "records/config.hpp"
#include "app/debug_line.hpp"
#include "app/end_request.hpp"
#include "app/detection_log.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/fps_measure.hpp"
#include "pipeline/prepared_frame.hpp"
#include "pipeline/session_health.hpp"
#include "pipeline/worker.hpp"
#include "platform/trace.hpp"
#include "remote/live_figures.hpp"

#include <iostream>
#include <memory>
#include <string>

// After a caught exception_reset in a frame loop: the two lines on the error
// stream (one "INFO: " line instead when the end was asked for, as the board
// is then not reset), then `reset` and `stop` set.
void report_loop_reset(const exception_reset& error);

// What differs between the two programs' frame loops; the restart sequence,
// recovery, switching and shutdown around them are shared (run_restarts).
class FrameLoop {
public:
    virtual ~FrameLoop() = default;
    // A new upload stage for the active source.
    virtual void restart(const std::shared_ptr<Stream>& active) = 0;
    // Uploads a first frame into buffer set 0 and starts the core on it there;
    // may raise exception_reset.
    virtual void first_frame() = 0;
    // Runs frames until `stop` is set, catching exception_reset.
    virtual void run() = 0;
    // Drops the upload stage.
    virtual void finish() = 0;
    // The board was reset and has lost its memory: nothing it held counts as
    // uploaded any more.
    virtual void board_was_reset() = 0;

    // Board resets allowed without a completed cycle.
    int resets_left = 3;

    // Where each frame's figures go for the stream server; none when null.
    std::shared_ptr<LiveFigures> live;
    // Where the latest shown frame's detection record comes from for it.
    std::shared_ptr<DetectionLog> detections;
};

// The parts of a frame loop that both programs share, for the stages of type
// Upload (a new one per restart), Output and Process.
template <class Upload, class Output, class Process>
class StageLoop : public FrameLoop {
public:
    StageLoop(std::shared_ptr<UDPInterface> link_, std::shared_ptr<Core> core_, std::shared_ptr<Demo> demo_,
              std::shared_ptr<FpsMeasure> fps_, std::shared_ptr<Output> output_, std::shared_ptr<Process> process_)
        : link(std::move(link_)),
          core(std::move(core_)),
          demo(std::move(demo_)),
          fps(std::move(fps_)),
          output(std::move(output_)),
          process(std::move(process_)) {}

    void restart(const std::shared_ptr<Stream>& active) override {
        upload = std::make_shared<Upload>(active, link, core, demo);
    }

    void run() override {
        if (demo->memory_spaces == 1) {
            one_space_loop();
        } else {
            two_space_loop();
        }
    }

    void finish() override { upload.reset(); }

    void board_was_reset() override { upload->reset(); }

protected:
    virtual void one_space_loop() = 0;
    virtual void two_space_loop() = 0;

    // Runs `cycle` until the loop is to stop: a cycle that gets through
    // restores the board resets allowed, one that raises exception_reset is
    // recovered from and counts against them.
    template <class Cycle>
    void run_cycles(Cycle cycle) {
        while (!shutdown_requested()) {
            try {
                cycle();
                resets_left = 3;
            } catch (const exception_reset& error) {
                recover(error);
            }
        }
    }

    // After a cycle that raised exception_reset.
    virtual void recover(const exception_reset& error) {
        report_loop_reset(error);
        resets_left -= 1;
    }

    // Waits for the core's run on `frame` and enters it in the timeline.
    void wait_for_core(const PreparedFrame& frame) {
        process->wait_core_done();
        trace::record(trace::Stage::core, traced_frame(frame.info), process->get_start_time());
    }

    // The frame-rate line, and the debug line when `debug` is set.
    void print_frame_lines(DebugLineForm form) const {
        std::cout << fps->print() << std::endl;
        LoopCounters& figures = loop_counters();
        set_figure(figures.frame_rate_milli, static_cast<int64_t>(fps->recent_fps * 1000.0));
        set_figure(figures.upload_us, upload->duration_us);
        set_figure(figures.core_us, process->duration_us);
        set_figure(figures.postprocess_us, output->duration_us);
        if (live) publish_figures();
        if (!demo->debug) return;
        CycleTimings times;
        times.upload_us = upload->duration_us;
        times.post_us = output->duration_us;
        times.core_us = process->duration_us;
        times.waited = process->get_waited();
        times.upload = upload->timings();
        times.post = output->timings();
        std::cout << debug_line(times, form) << std::endl;
    }

    // The frame's figures to the stream server.
    void publish_figures() const {
        live->set_rates(fps->get_recent_fps(), {{"upload", upload->duration_us / 1000.0},
                                                {"core", process->duration_us / 1000.0},
                                                {"post-processing", output->duration_us / 1000.0}});
        live->set_counters(health_snapshot());
        if (detections) {
            std::string json = detections->latest_json();
            if (!json.empty()) live->set_detections_json(std::move(json));
        }
    }

    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<FpsMeasure> fps;
    std::shared_ptr<Output> output;
    std::shared_ptr<Process> process;
    std::shared_ptr<Upload> upload;
};
