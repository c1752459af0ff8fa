// Test helper: a frame source that hands out a given frame with an id, once
// per give(), and random frames to feed it.
#pragma once

#include "pipeline/worker.hpp"

#include <memory>
#include <string>

class TestSource : public Source {
public:
    void give(std::shared_ptr<cv::Mat> next, uint64_t id) {
        frame = std::move(next);
        frame_id = id;
        fresh = true;
    }
    bool grab(std::shared_ptr<cv::Mat>& out, uint64_t& out_id) override {
        if (!fresh) return false;
        fresh = false;
        out = frame;
        out_id = frame_id;
        return true;
    }
    bool okay(std::string& message) override {
        message.clear();
        return true;
    }
    void reset() override {}
    std::string get_id() override { return "test source"; }
    void work() override {}
    CallbackMap get_callbacks() override { return {}; }

private:
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
