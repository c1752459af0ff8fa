// Frame source for a live camera: a capture thread keeps reading frames into
// two slots, `grab` hands out the newest one.
#pragma once

#include "pipeline/worker.hpp"
#include "platform/owned_thread.hpp"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class WebCamVideoStream : public Stream {
public:
    // Opens the camera with that device index and asks it for MJPG at
    // 1280 x 720 and 35 frames per second.
    WebCamVideoStream(std::string id, int device_index, bool flip);
    // Uses a capture that the caller has already opened (a video file, or a
    // device opened with other options); the same format is requested.
    WebCamVideoStream(std::string id, cv::VideoCapture capture, bool flip);

    // Hands out the newest frame unless it was handed out already or the
    // stream is stopped; the id counts the frames captured since `reset`.
    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override;
    bool okay(std::string& message) override;
    // Restarts the id count at 0 and reads one fresh (never mirrored) frame.
    void reset() override;
    std::string get_id() override;
    // The device index (-1 for a capture opened by the caller).
    FrameOrigin frame_origin(uint64_t frame_id) override;
    // Starts the capture thread and waits (bounded) until a frame is ready.
    void work() override;
    void stop() override;
    CallbackMap get_callbacks() override;

    // Frames captured since the last reset (the id of the newest frame).
    int32_t get_frame_counter() const { return frame_counter.load(); }

private:
    void open_and_start();
    void update();
    // Reads one frame from the device; serialised with the other reads.
    bool read_frame(cv::Mat& into);

    std::string id;
    cv::VideoCapture capture;
    std::array<std::shared_ptr<cv::Mat>, 2> buffers;
    uint64_t front = 0;
    bool new_frame = false;
    std::mutex mutex;
    // Held for each device read, so that `reset` never reads concurrently
    // with the capture thread.
    std::mutex capture_mutex;
    std::atomic<int32_t> frame_counter{0};
    bool is_okay = true;
    std::string message;
    bool flip;
    int device = -1;
    // Last, so that it is stopped and joined before the members it uses go.
    OwnedThread thread{"Camera source", OwnedThread::Errors::hand_over};
};
