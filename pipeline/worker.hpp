// The classes every pipeline stage is built on: Worker (does work, may offer
// key actions), ThreadWorker (owns a background thread), Source (frames can be
// taken from it), Stream (a source with its own thread) and MemoryMap (the
// ping-pong buffer selector), plus the small records the stages hand on.
#pragma once

#include "records/image_info.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

using CallbackMap = std::map<int, std::function<void()>>;

// Frame id meaning "no frame".
constexpr uint64_t NO_FRAME_ID = ~uint64_t{0};

class Worker {
public:
    virtual void work() = 0;
    virtual CallbackMap get_callbacks() = 0;

    int64_t duration_us = 0;
};

// A worker with a loop of its own. Each one owns its thread as an
// OwnedThread, declared as its last member and started with a stop that sets
// `stopped` and wakes the loop, so that destroying the worker stops and joins
// the loop before anything the loop uses goes.
class ThreadWorker : public virtual Worker {
public:
    // Sets `stopped`, then joins the thread if one is running. Harmless on a
    // worker that was never started or is already stopped.
    virtual void stop() = 0;

protected:
    // Written by the controlling thread, read by the stage's own loop.
    std::atomic<bool> stopped{true};
};

class Source : public virtual Worker {
public:
    virtual bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) = 0;
    virtual bool okay(std::string& message) = 0;
    virtual void reset() = 0;
    virtual std::string get_id() = 0;
    // Where the frame that grab delivered with `frame_id` came from; sources
    // of files and devices add their file name, frame index or device.
    virtual FrameOrigin frame_origin(uint64_t frame_id) {
        (void)frame_id;
        FrameOrigin origin;
        origin.source = get_id();
        return origin;
    }

    uint64_t last_frame_id = 0;
};

class Stream : public Source, public ThreadWorker {};

class MemoryMap {
public:
    uint64_t pingpong = 0;
};

inline uint64_t traced_frame(const std::shared_ptr<ImageInfo>& info) { return info ? info->sequence : 0; }
