// Builds one program's stages and runs its frame loop: the part of the
// demonstrator's driver that both programs share but for the stage types.
#pragma once

#include "records/config.hpp"
#include "app/end_request.hpp"
#include "app/detection_log.hpp"
#include "app/options.hpp"
#include "app/restart_loop.hpp"
#include "app/source_switch.hpp"
#include "display/display.hpp"
#include "display/recorder.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/fps_measure.hpp"
#include "pipeline/key_codes.hpp"
#include "platform/display_check.hpp"
#include "platform/fatal_handover.hpp"
#include "remote/live_figures.hpp"
#include "remote/stream_server.hpp"
#include "sources/video_file_stream.hpp"
#include "sources/webcam_video_stream.hpp"

#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <vector>

// With --stream: the server, serving from its own threads until the program
// is asked to end (or a thread hands over a fatal error). An address that
// cannot be served is reported before the window opens.
inline std::unique_ptr<StreamServer> start_stream_server(const DemoOptions& options,
                                                         const std::shared_ptr<LiveFigures>& live) {
    if (options.stream_port < 0) return nullptr;
    auto server = std::make_unique<StreamServer>(live, options.stream_host, options.stream_port,
                                                 [] { return end_requested() || fatal_handed_over(); });
    std::cout << "INFO: Stream server" << std::endl
              << "\tAddress:\thttp://" << options.stream_host << ":" << server->port() << "/" << std::endl;
    return server;
}

// Builds the stages of one program in the order the demonstrator needs them
// (post-processing stage, image-file source, camera source, the video file
// source when one is configured; checks of the initial source; the recorder
// when asked for; display and core control) and runs its frame loop.
// `Loop` is constructed from (link, core, demo, fps, output stage, core stage).
template <class Output, class Process, class Glob, class Loop>
int build_and_run(const std::shared_ptr<Core>& core, const std::shared_ptr<Demo>& demo,
                  const std::shared_ptr<PostProcessing>& post_processing, const std::shared_ptr<UDPInterface>& link,
                  const std::shared_ptr<FpsMeasure>& fps, const DemoOptions& options) {
    auto output = std::make_shared<Output>("output", link, core, demo, post_processing);
    auto glob = std::make_shared<Glob>(
        "glob", demo, std::chrono::nanoseconds(static_cast<int64_t>(demo->displaytime_image) * 1000000));
    auto webcam =
        std::make_shared<WebCamVideoStream>("webcam", static_cast<int>(demo->capture_source), demo->capture_flip);
    std::vector<std::shared_ptr<Stream>> streams{webcam, glob};
    // The video source is there whenever it is the first source, so that an
    // empty or unreadable path is reported like any other source that fails.
    if (!demo->path_video.empty() || demo->data_source == DATA_SOURCE::VIDEO)
        streams.push_back(std::make_shared<VideoFileStream>("video", demo->path_video));

    const uint64_t stream_index = initial_stream_index(demo->data_source);
    require_initial_stream(*streams[stream_index], demo->data_source);

    // A recording that cannot be written is reported before the window opens.
    std::shared_ptr<Recorder> recorder;
    if (!options.record_path.empty()) recorder = std::make_shared<Recorder>(options.record_path);
    // So is a detections file.
    const auto detections = options.detections_path.empty() ? std::make_shared<DetectionLog>()
                                                            : std::make_shared<DetectionLog>(options.detections_path);

    // Opening a window without a display would abort the whole process.
    require_display();
    auto display = std::make_shared<Display>(output, demo);
    if (recorder) display->record_to(recorder);
    auto live = std::make_shared<LiveFigures>();
    const std::unique_ptr<StreamServer> server = start_stream_server(options, live);
    // Each canvas newly shown: its frame's record gets its number and times
    // (and its line in the detections file), and the page gets the canvas.
    Output* shown = output.get();
    const bool streaming = server != nullptr;
    display->watch_canvases([shown, detections, live, streaming](const std::shared_ptr<cv::Mat>& canvas,
                                                                 std::chrono::steady_clock::time_point at) {
        const auto record = shown->take_grabbed_record();
        if (record) detections->frame_shown(*record, at);
        if (streaming) live->set_canvas(canvas, record ? record->frame : 0, record ? latency_ms(*record) : -1.0);
    });
    auto process = std::make_shared<Process>(link, core);
    // A window closed before the first restart has built the key map still ends the program.
    display->register_callback(KEY_ESCAPE, callback_end);
    display->work();

    Loop loop(link, core, demo, fps, output, process);
    if (server) {
        loop.live = live;
        loop.detections = detections;
    }
    try {
        return run_restarts(loop, streams, stream_index, *display, *output, *process, link);
    } catch (...) {
        // Whatever ends the program from here, it ends with no thread of it
        // still running.
        stop_threads(*display, streams, loop);
        throw;
    }
}
