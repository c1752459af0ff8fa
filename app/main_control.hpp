// The parts of the main loop that both programs share: choosing and switching
// the frame source, rebuilding the key map at a restart, the first frame with
// its board-reset retries, the stopping step, shutdown and the debug line's
// common beginning.
#pragma once

#include "app/board.hpp"
#include "records/config.hpp"
#include "app/options.hpp"
#include "display/display.hpp"
#include "display/recorder.hpp"
#include "pipeline/fps_measure.hpp"
#include "pipeline/process_worker.hpp"
#include "pipeline/upload_worker.hpp"
#include "platform/display_check.hpp"
#include "sources/video_file_stream.hpp"
#include "sources/webcam_video_stream.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/worker.hpp"
#include "postprocess/post_process_worker.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Index into `streams` of the initial source (0 camera, 1 image files, 2 video
// file); raises
// exception_fatal for a source that cannot be used.
uint64_t initial_stream_index(DATA_SOURCE data_source);

// Raises exception_fatal with the three lines when the initial source is not
// okay.
void require_initial_stream(Stream& stream, DATA_SOURCE data_source);

// Rebuilds the display's key map: the source's keys, Escape, space, r, then
// the post-processing stage's keys (later registrations replace earlier ones).
void rebuild_key_map(Display& display, Stream& active, PostProcessWorker& post);


// Moves to the next usable source, printing the switching lines; clears
// `switch_source`, and `stop` on success. Raises exception_fatal when none is
// usable.
uint64_t switch_stream(const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index);

// Escape and a closed window: "CALLBACK STOP" and `stop`, and the program
// ends for good. Unlike `stop` alone, which a board reset, a source switch or
// `r` clear again to restart the loop, this request is never taken back.
void callback_end();

// The user asked the program to end: Escape, a closed window, Ctrl-C or
// SIGTERM. Stays true until the process ends.
bool end_requested();

// True when the frame loop should stop: `stop`, an end the user asked for
// (which a restart may have cleared `stop` under), or a fatal error another
// thread has handed over.
bool shutdown_requested();

// Stops the display and the active source and waits for a console key.
void shut_down(Display& display, Stream& active);

// After a caught exception_reset in a frame loop: the two lines on the error
// stream, then `reset` and `stop` set.
void report_loop_reset(const exception_reset& error);

// "u: ... p: ... c: ... f: ... (w)  | " as both debug lines begin.
std::string debug_line_prefix(int64_t upload_us, int64_t post_us, int64_t core_us, bool waited);

// A microsecond count as milliseconds, fixed with 3 decimals, 7 wide.
std::string debug_ms(int64_t us);

// The one-space debug line, without its line break.
std::string one_space_debug_line(const UploadWorker& upload, const PostProcessWorker& output,
                                 const ProcessWorker& process);

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
};

// The parts of a frame loop that both programs share: the stages it drives,
// a new upload stage (of type Upload) per restart, and the choice between the
// one-space and the two-space form.
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

    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;
    std::shared_ptr<FpsMeasure> fps;
    std::shared_ptr<Output> output;
    std::shared_ptr<Process> process;
    std::shared_ptr<Upload> upload;
};

// Stops the display thread, every source's thread and the upload stage's
// thread, in this order; for a program that ends with an error.
void stop_threads(Display& display, const std::vector<std::shared_ptr<Stream>>& streams, FrameLoop& loop);

// Resets the board and brings its weights back; the programs use reset_fpga.
using BoardReset = std::function<void(const std::shared_ptr<UDPInterface>&)>;

// The outer loop of both programs, from the first restart to shutdown.
// Returns 0 after an orderly shutdown. Raises exception_fatal when the board
// keeps failing, no source is usable, or another thread handed one over.
int run_restarts(FrameLoop& loop, const std::vector<std::shared_ptr<Stream>>& streams, uint64_t stream_index,
                 Display& display, PostProcessWorker& output, ProcessWorker& process,
                 const std::shared_ptr<UDPInterface>& link, const BoardReset& reset_board = reset_fpga);

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
    if (!demo->path_video.empty()) streams.push_back(std::make_shared<VideoFileStream>("video", demo->path_video));

    const uint64_t stream_index = initial_stream_index(demo->data_source);
    require_initial_stream(*streams[stream_index], demo->data_source);

    // A recording that cannot be written is reported before the window opens.
    std::shared_ptr<Recorder> recorder;
    if (!options.record_path.empty()) recorder = std::make_shared<Recorder>(options.record_path);

    // Opening a window without a display would abort the whole process.
    require_display();
    auto display = std::make_shared<Display>(output, demo);
    if (recorder) display->record_to(recorder);
    auto process = std::make_shared<Process>(link, core);
    // A window closed before the first restart has built the key map still ends the program.
    display->register_callback(27, callback_end);
    display->work();

    Loop loop(link, core, demo, fps, output, process);
    try {
        return run_restarts(loop, streams, stream_index, *display, *output, *process, link);
    } catch (...) {
        // Whatever ends the program from here, it ends with no thread of it
        // still running.
        stop_threads(*display, streams, loop);
        throw;
    }
}
