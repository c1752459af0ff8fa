// Frame source for a video file: a decoding thread reads the file's frames in
// order and hands each one out once, at the file's own frame rate or, when the
// pipeline takes frames more slowly, as fast as it takes them; at the end of
// the file it starts again from the first frame.
#pragma once

#include "pipeline/worker.hpp"
#include "platform/owned_thread.hpp"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class VideoFileStream : public Stream {
public:
    // Opens the file and reads its first frame. A file that cannot be opened
    // or gives no frame leaves the stream not okay, with the path in the
    // message.
    VideoFileStream(std::string id, std::string path);

    // Hands out the newest decoded frame unless it was handed out already or
    // the stream is stopped; the id counts the frames since `reset` and keeps
    // counting across the loops.
    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override;
    bool okay(std::string& message) override;
    // Back to the file's first frame, with id 0, waiting to be taken.
    void reset() override;
    std::string get_id() override;
    // The frame's number as this source counts it: 0 for the first frame
    // after a reset, one more for every frame decoded since.
    FrameOrigin frame_origin(uint64_t frame_id) override;
    // Starts the decoding thread; the frame read last is waiting already.
    void work() override;
    void stop() override;
    CallbackMap get_callbacks() override;

    // Frames per second the file is played at (its own rate; 25 when it names
    // none).
    double get_frame_rate() const { return frame_rate; }
    // Times the file has started again from its first frame.
    uint64_t get_loops() const { return loops.load(); }

private:
    void update();
    // Sets `stopped` and wakes the decoding thread.
    void request_stop();
    // Reads the next frame, starting again at the first one after the last;
    // false when the file gives no frame even then.
    bool decode(cv::Mat& into);

    std::string id;
    std::string path;
    cv::VideoCapture capture;
    // Held for each read of the file, so that `reset` never reads concurrently
    // with the decoding thread.
    std::mutex capture_mutex;

    // Guards the slot below; `changed` is notified when a frame is taken or
    // the stream stops.
    std::mutex mutex;
    std::condition_variable changed;
    std::shared_ptr<cv::Mat> front;
    bool new_frame = false;
    uint64_t frame_counter = 0;

    double frame_rate = 25.0;
    std::chrono::nanoseconds period{40000000};
    std::atomic<uint64_t> loops{0};
    bool is_okay = true;
    std::string message;
    // Last, so that it is stopped and joined before the members it uses go.
    OwnedThread thread{"Video file source", OwnedThread::Errors::hand_over};
};
