#include "sources/video_file_stream.hpp"

#include "platform/fatal_error.hpp"

#include <cmath>
#include <fstream>
#include <iostream>

namespace {

// Rate assumed for a file that names none (or an implausible one).
constexpr double DEFAULT_FRAME_RATE = 25.0;
constexpr double MAX_FRAME_RATE = 1000.0;
// Longest single wait of the decoding thread; it checks `stopped` after each.
constexpr std::chrono::milliseconds WAIT_SLICE{100};

}  // namespace

VideoFileStream::VideoFileStream(std::string id_, std::string path_) : id(std::move(id_)), path(std::move(path_)) {
    // Only a file that can be read goes to the decoder (whose own reports of
    // a missing file are long and puzzling); FFmpeg is asked for directly,
    // so that no other back end tries to make sense of the name.
    if (path.empty()) {
        is_okay = false;
        message = "ERROR: No video file named (path_video is empty)";
        return;
    }
    if (!std::ifstream(path, std::ios::binary).is_open() || !capture.open(path, cv::CAP_FFMPEG)) {
        is_okay = false;
        message = "ERROR: Unable to open video file " + path;
        return;
    }
    const double rate = capture.get(cv::CAP_PROP_FPS);
    if (std::isfinite(rate) && rate > 0.0 && rate <= MAX_FRAME_RATE) frame_rate = rate;
    period = std::chrono::nanoseconds(static_cast<int64_t>(std::llround(1e9 / frame_rate)));
    reset();
    std::lock_guard<std::mutex> lock(mutex);
    if (!front || front->empty()) {
        is_okay = false;
        message = "ERROR: Unable to read a frame from video file " + path;
        return;
    }
    std::cout << "INFO: Video file '" << id << "' opened" << std::endl;
    std::cout << "\tFile path:\t" << path << std::endl;
    std::cout << "\tWidth:\t" << front->cols << std::endl;
    std::cout << "\tHeight:\t" << front->rows << std::endl;
    std::cout << "\tFrame rate:\t" << frame_rate << std::endl;
}

bool VideoFileStream::decode(cv::Mat& into) {
    std::lock_guard<std::mutex> lock(capture_mutex);
    if (capture.read(into) && !into.empty()) return true;
    // The end of the file: open it again, which every container supports
    // (seeking back does not work in all of them).
    const uint64_t loop = loops.fetch_add(1) + 1;
    capture.release();
    if (!capture.open(path, cv::CAP_FFMPEG)) return false;
    if (!capture.read(into) || into.empty()) return false;
    std::cout << "INFO: Video file '" << id << "' starts again (loop " << loop + 1 << ")" << std::endl;
    return true;
}

bool VideoFileStream::grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) {
    if (stopped.load(std::memory_order_relaxed)) return false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!new_frame) return false;
        // The receiver owns the frame from now on; the thread decodes every
        // frame into a matrix of its own.
        frame = std::move(front);
        new_frame = false;
        frame_id = frame_counter;
    }
    changed.notify_all();
    return true;
}

bool VideoFileStream::okay(std::string& message_) {
    message_ = message;
    return is_okay;
}

void VideoFileStream::reset() {
    std::lock_guard<std::mutex> device(capture_mutex);
    if (!capture.isOpened()) return;
    capture.set(cv::CAP_PROP_POS_FRAMES, 0);
    auto first = std::make_shared<cv::Mat>();
    if (!capture.read(*first) || first->empty()) {
        // Seeking is not supported everywhere; opening again is.
        capture.release();
        if (capture.open(path, cv::CAP_FFMPEG)) capture.read(*first);
    }
    std::lock_guard<std::mutex> lock(mutex);
    front = std::move(first);
    frame_counter = 0;
    new_frame = true;
}

std::string VideoFileStream::get_id() { return id; }

FrameOrigin VideoFileStream::frame_origin(uint64_t frame_id) {
    FrameOrigin origin;
    origin.source = id;
    origin.video_frame = static_cast<int64_t>(frame_id);
    return origin;
}

void VideoFileStream::work() {
    stopped.store(false);
    thread.start(&VideoFileStream::update, this, [this] { request_stop(); });
}

void VideoFileStream::stop() {
    request_stop();
    thread.join();
}

void VideoFileStream::request_stop() {
    {
        // Under the lock, so that the thread cannot miss the wake-up between
        // its check and its wait.
        std::lock_guard<std::mutex> lock(mutex);
        stopped.store(true, std::memory_order_relaxed);
    }
    changed.notify_all();
}

CallbackMap VideoFileStream::get_callbacks() { return {}; }

void VideoFileStream::update() {
    using clock = std::chrono::steady_clock;
    // The frame waiting now was read before the thread started; the next one
    // is due one frame period from here.
    auto due = clock::now() + period;
    while (!stopped.load(std::memory_order_relaxed)) {
        // Decoded ahead, outside the lock, while the pipeline works on the
        // frame before.
        auto next = std::make_shared<cv::Mat>();
        if (!decode(*next)) {
            throw exception_fatal({"ERROR: Unable to read video file", "\tFile path:\t" + path});
        }
        std::unique_lock<std::mutex> lock(mutex);
        // Not before its time ...
        while (!stopped.load(std::memory_order_relaxed) && clock::now() < due) {
            changed.wait_until(lock, std::min(due, clock::now() + WAIT_SLICE));
        }
        // ... and not before the pipeline has taken the frame before it.
        while (!stopped.load(std::memory_order_relaxed) && new_frame) {
            changed.wait_for(lock, WAIT_SLICE);
        }
        if (stopped.load(std::memory_order_relaxed)) return;
        front = std::move(next);
        new_frame = true;
        ++frame_counter;
        // A pipeline slower than the file sets the pace; it is never made up
        // for by a burst of frames afterwards.
        due = std::max(due + period, clock::now());
    }
}
