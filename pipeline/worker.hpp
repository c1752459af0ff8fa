// The classes every pipeline stage is built on: Worker (does work, may offer
// key actions), ThreadWorker (owns a background thread), Source (frames can be
// taken from it), Stream (a source with its own thread) and MemoryMap (the
// ping-pong buffer selector), plus the small records the stages hand on.
#pragma once

#include "records/image_info.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

using CallbackMap = std::map<int, std::function<void()>>;

// Frame id meaning "no frame".
constexpr uint64_t NO_FRAME_ID = ~uint64_t{0};

class Worker {
public:
    virtual void work() = 0;
    virtual CallbackMap get_callbacks() = 0;

    int64_t duration_us = 0;
};

class ThreadWorker : public virtual Worker {
public:
    // Sets `stopped`, then joins the thread if one is running. Harmless on a
    // worker that was never started or is already stopped.
    virtual void stop() = 0;

protected:
    // Written by the controlling thread, read by the stage's own loop.
    std::atomic<bool> stopped{true};
    std::thread thread;

    // The common body of stop(): set the flag and join.
    void stop_and_join() {
        stopped.store(true, std::memory_order_relaxed);
        if (thread.joinable()) thread.join();
    }
};

class Source : public virtual Worker {
public:
    virtual bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) = 0;
    virtual bool okay(std::string& message) = 0;
    virtual void reset() = 0;
    virtual std::string get_id() = 0;

    uint64_t last_frame_id = 0;
};

class Stream : public Source, public ThreadWorker {};

class MemoryMap {
public:
    uint64_t pingpong = 0;
};

inline uint64_t traced_frame(const std::shared_ptr<ImageInfo>& info) { return info ? info->sequence : 0; }

// Hand-off slot in which the main loop parks a frame with its id and geometry.
class Framebuffer {
public:
    void set(std::shared_ptr<cv::Mat> new_frame, uint64_t new_frame_id, std::shared_ptr<ImageInfo> new_info) {
        frame = std::move(new_frame);
        frame_id = new_frame_id;
        info = std::move(new_info);
    }
    std::shared_ptr<cv::Mat> get_frame() const { return frame; }
    uint64_t get_frame_id() const { return frame_id; }
    std::shared_ptr<ImageInfo> get_frame_info() const { return info; }

private:
    std::shared_ptr<cv::Mat> frame;
    std::shared_ptr<ImageInfo> info;
    uint64_t frame_id = NO_FRAME_ID;
};

// An adaptive sleep: grows when the measured time is above the band, shrinks
// when it is below.
class DynamicWait {
public:
    DynamicWait(std::chrono::nanoseconds min_duration, std::chrono::nanoseconds max_duration,
                std::chrono::nanoseconds initial_wait);
    void update_wait(std::chrono::nanoseconds measured);
    void wait();
    std::chrono::nanoseconds get_wait() const { return current_wait; }

private:
    std::chrono::nanoseconds min_duration;
    std::chrono::nanoseconds max_duration;
    std::chrono::nanoseconds current_wait;
};
