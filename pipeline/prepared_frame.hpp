// A frame as the upload stage prepared it, handed on as one value: the source
// image, its id and its geometry against the network input. The main loop
// parks such values in hand-off slots between the stages.
#pragma once

#include "pipeline/worker.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <utility>

struct PreparedFrame {
    std::shared_ptr<cv::Mat> image;
    uint64_t id = NO_FRAME_ID;
    std::shared_ptr<ImageInfo> info;
};

// Hand-off slot in which the main loop parks a prepared frame.
class Framebuffer {
public:
    void set(PreparedFrame frame) { held = std::move(frame); }
    const PreparedFrame& get() const { return held; }

    void set(std::shared_ptr<cv::Mat> frame, uint64_t frame_id, std::shared_ptr<ImageInfo> info) {
        held = PreparedFrame{std::move(frame), frame_id, std::move(info)};
    }
    std::shared_ptr<cv::Mat> get_frame() const { return held.image; }
    uint64_t get_frame_id() const { return held.id; }
    std::shared_ptr<ImageInfo> get_frame_info() const { return held.info; }

private:
    PreparedFrame held;
};
