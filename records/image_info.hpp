// Geometry of one source frame against the network input, filled by the
// upload stage when it prepares the frame and read by post-processing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Where a frame came from: the source's id and, by kind of source, the image
// file's name, the video's frame index or the camera's device index (-1 where
// they do not apply).
struct FrameOrigin {
    std::string source;
    std::string image;
    int64_t video_frame = -1;
    int64_t camera = -1;
};

struct ImageInfo {
    int32_t height = 0;
    int32_t width = 0;
    int32_t offset_x = 0;
    int32_t offset_y = 0;
    int32_t region_height = 0;
    int32_t region_width = 0;
    // The upload stage's count of the frames it has prepared (the frame's
    // number in the timeline).
    uint64_t sequence = 0;
    // When the upload stage took the frame from its source, and from where.
    std::chrono::steady_clock::time_point grabbed{};
    FrameOrigin origin;
};
