// Frame sources for tests. NullSource has nothing to give and is always
// usable; a test's source derives from it and states only what it changes.
// TestSource hands out a frame given to it, once per give(), to whichever
// thread grabs.
#pragma once

#include "pipeline/worker.hpp"

#include <memory>
#include <mutex>
#include <string>

class NullSource : public Source {
public:
    explicit NullSource(std::string id = "test source") : id(std::move(id)) {}
    bool grab(std::shared_ptr<cv::Mat>&, uint64_t&) override { return false; }
    bool okay(std::string& message) override {
        message.clear();
        return true;
    }
    void reset() override {}
    std::string get_id() override { return id; }
    void work() override {}
    CallbackMap get_callbacks() override { return {}; }

private:
    const std::string id;
};

class TestSource : public NullSource {
public:
    using NullSource::NullSource;

    void give(std::shared_ptr<cv::Mat> next, uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        frame = std::move(next);
        frame_id = id;
        fresh = true;
    }
    bool grab(std::shared_ptr<cv::Mat>& out, uint64_t& out_id) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (!fresh) return false;
        fresh = false;
        out = frame;
        out_id = frame_id;
        return true;
    }

private:
    std::mutex mutex;
    std::shared_ptr<cv::Mat> frame;
    uint64_t frame_id = 0;
    bool fresh = false;
};

inline cv::Mat random_frame(int rows, int cols, int seed) {
    cv::Mat frame(rows, cols, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    return frame;
}
