// The image-folder source as visiondemo_serial uses it: when there is no new
// image, grab leaves the caller's frame id as it was, so that the serial
// upload stage sees the same id again and can skip the frame it already holds.
#pragma once

#include "sources/image_glob_stream.hpp"

namespace serial {

class ImageGlobStream : public ::ImageGlobStream {
public:
    using ::ImageGlobStream::ImageGlobStream;

    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override {
        uint64_t id = frame_id;
        if (!::ImageGlobStream::grab(frame, id)) return false;
        frame_id = id;
        return true;
    }
};

}  // namespace serial
