// The upload stage: takes the newest frame of the active source, fits it to
// the network input (stretch, crop or box: frame_fit.hpp), halves its samples
// into the network's fixed-point input format, splits it into one plane per
// colour channel (input_planes.hpp) and writes the planes into the input
// buffer selected by `pingpong`.
// Each cycle runs on the stage's one long-lived thread: work() hands it the
// cycle, wait_work_done() waits for the cycle's end. The thread starts with
// the first work() and is joined when the stage is destroyed, so a long show
// does not create (and leave per-thread storage of the imaging library
// behind for) a thread per frame.
//
// When the stage sets the pace (the next cycle is asked for about as soon as
// one ends, as at short core times), a second long-lived thread grabs and
// prepares the next frame while the current one is on the wire. The next
// cycle takes that frame unless the source has a newer one by then, so the
// frames still go into the buffer sets in the order they are grabbed.
#pragma once

#include "records/config.hpp"
#include "link/udp_interface.hpp"
#include "pipeline/prepared_frame.hpp"
#include "pipeline/worker.hpp"
#include "platform/owned_thread.hpp"

#include <opencv2/core.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

// Microseconds of the upload stage's last grab, fit-and-quantise and upload.
struct UploadTimings {
    int64_t grab_us = 0;
    int64_t prepare_us = 0;
    int64_t upload_us = 0;
};

class UploadWorker : public Worker, public MemoryMap {
public:
    UploadWorker(std::shared_ptr<Source> source, std::shared_ptr<UDPInterface> link, std::shared_ptr<Core> core,
                 std::shared_ptr<Demo> demo);
    UploadWorker(const UploadWorker&) = delete;
    UploadWorker& operator=(const UploadWorker&) = delete;

    // Records work_start and hands prepare_and_upload to the stage's thread
    // (started on the first call). Returns at once. A cycle whose wait was
    // skipped is waited for first; its error is kept for the next wait.
    void work() override;
    // Waits until the cycle started by work() has ended. An error raised in
    // it (a failed send of the link, exception_fatal) is rethrown here, on
    // the caller's thread. Returns at once when no cycle is pending.
    void wait_work_done();
    void prepare_and_upload();
    // Grabs the newest frame and fits and quantises it, or takes the frame
    // prepared ahead when the source has nothing newer.
    void prepare();
    // Writes the planes prepared last into the buffer set selected by
    // `pingpong`, unless duplicates are ignored and that buffer already holds
    // this frame from a write less than `duplicate_refresh` ago. The writes
    // are not acknowledged, so a held frame is written again now and then: a
    // lost datagram leaves a wrong input on the board for at most that long.
    void upload();
    // The board has been reset: its buffers no longer hold the recorded
    // frames, so the next upload into either buffer writes.
    void reset();

    // The frame prepared last: its image, id and geometry. Read it, like the
    // timings, once wait_work_done has returned.
    PreparedFrame prepared() const { return frame; }
    std::shared_ptr<cv::Mat> get_frame() const { return frame.image; }
    uint64_t get_frame_id() const { return frame.id; }
    std::shared_ptr<ImageInfo> get_image_info() const { return frame.info; }
    UploadTimings timings() const { return times; }

    std::shared_ptr<cv::Mat> get_fitted() const { return fitted; }
    std::shared_ptr<std::vector<cv::Mat>> get_planes() const { return planes; }
    CallbackMap get_callbacks() override { return {}; }

    // How long a buffer set's record of the frame it holds is trusted.
    std::chrono::nanoseconds duplicate_refresh{std::chrono::seconds(1)};

    // When the next frame is prepared beside an upload: when the stage sets
    // the pace, or always, or never. Set it before the first work().
    enum class LookAhead { when_paced, always, never };
    LookAhead look_ahead = LookAhead::when_paced;

private:
    // One frame as it is prepared: the grabbed image with its id and
    // geometry, its fitted image, its planes and the time each step took.
    struct Preparation {
        PreparedFrame frame;
        std::shared_ptr<cv::Mat> fitted;
        std::shared_ptr<std::vector<cv::Mat>> planes;
        int64_t grab_us = 0;
        int64_t prepare_us = 0;
    };

    // The stage thread's loop: one cycle (prepare, maybe ask for the next
    // frame ahead, upload) per work().
    void serve();
    // The second thread's loop: one preparation ahead per request.
    void serve_ahead();
    // Fits and quantises the image that `into` holds, grabbed at `t0` with
    // the source's id `id`: the rest of `into` is made from it.
    void fit_and_quantise(Preparation& into, uint64_t id, std::chrono::steady_clock::time_point t0);
    // Whether the cycle that just began has the next frame prepared beside
    // its upload: when paced, if the cycle before ended shortly before this
    // one was asked for, so that the stage is what the loop waits for.
    bool prepares_ahead() const;
    // Makes `prepared` the frame prepared last.
    void take(const Preparation& prepared);
    // Whether a grab that brought nothing new (`fresh` false) keeps the
    // planes prepared before instead of preparing the same image again.
    bool keeps_prepared(bool fresh, bool has_planes) const;
    // Waits until no cycle is pending or running; `lock` holds `mutex`.
    void wait_idle(std::unique_lock<std::mutex>& lock);
    // Ends the stage thread's loop once the cycle it runs, if any, has ended
    // (that cycle's error, if any, is dropped with the stage).
    void quit_serving();

    std::shared_ptr<Source> source;
    std::shared_ptr<UDPInterface> link;
    std::shared_ptr<Core> core;
    std::shared_ptr<Demo> demo;

    PreparedFrame frame;
    std::shared_ptr<cv::Mat> fitted;
    std::shared_ptr<std::vector<cv::Mat>> planes;
    UploadTimings times;

    // Id of the frame each input buffer holds; `buffer_valid` tells whether
    // the entry is a real record (a frame id may take any value).
    std::array<uint64_t, 2> uploaded_frame_id{NO_FRAME_ID, NO_FRAME_ID};
    std::array<bool, 2> buffer_valid{false, false};
    // When each input buffer was last written.
    std::array<std::chrono::steady_clock::time_point, 2> uploaded_at{};
    // Frames prepared so far; the number of the next one in the timeline.
    uint64_t prepared_count = 0;

    // The stage's thread and its hand-over. `requested`: work() has handed
    // over a cycle not yet taken; `running`: the thread is in a cycle;
    // `quit`: the stage is being destroyed. All three, `work_error` and the
    // preparation ahead below, under `mutex`.
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
    bool running = false;
    bool quit = false;
    std::exception_ptr work_error;
    std::chrono::steady_clock::time_point work_start{};
    std::chrono::steady_clock::time_point work_end{};
    // When the cycle before this one was asked for and when it ended.
    std::chrono::steady_clock::time_point previous_start{};
    std::chrono::steady_clock::time_point previous_end{};

    // The preparation ahead: `ahead_requested` carries the frame it starts
    // from, `ahead_running` is set while it runs; its result (or the error
    // that ended it) waits in `ahead` (`ahead_error`) for the next prepare().
    bool ahead_requested = false;
    bool ahead_running = false;
    Preparation ahead_base;
    std::unique_ptr<Preparation> ahead;
    std::exception_ptr ahead_error;
    // Last, so that it is stopped and joined before the members it uses go.
    OwnedThread thread{"Upload stage"};
    OwnedThread ahead_thread{"Upload stage"};
};
