#include "sources/webcam_video_stream.hpp"

#include "platform/sleep.hpp"

#include <opencv2/core.hpp>

#include <cctype>
#include <chrono>
#include <iostream>

namespace {

constexpr std::chrono::nanoseconds CAPTURE_PAUSE{32000000};
constexpr std::chrono::nanoseconds READY_POLL{10000000};
// Upper bound of the wait in work() for the first frame of the thread.
constexpr std::chrono::seconds READY_LIMIT{5};
constexpr double FOURCC_MJPG = 1196444237.0;

std::string fourcc_text(double value) {
    const auto code = static_cast<uint32_t>(value);
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        if (!std::isprint(static_cast<unsigned char>(c))) return std::to_string(code);
        text += c;
    }
    return text;
}

}  // namespace

WebCamVideoStream::WebCamVideoStream(std::string id_, int device_index, bool flip_)
    : id(std::move(id_)), flip(flip_), device(device_index) {
    capture.open(device_index);
    open_and_start();
}

WebCamVideoStream::WebCamVideoStream(std::string id_, cv::VideoCapture capture_, bool flip_)
    : id(std::move(id_)), capture(std::move(capture_)), flip(flip_) {
    open_and_start();
}

void WebCamVideoStream::open_and_start() {
    is_okay = true;
    message.clear();
    if (!capture.isOpened()) {
        is_okay = false;
        message = "ERROR: Unable to open video file or stream";
        return;
    }
    // The device may refuse any of these; what it delivers is reported below.
    capture.set(cv::CAP_PROP_FOURCC, FOURCC_MJPG);
    capture.set(cv::CAP_PROP_FRAME_WIDTH, 1280);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, 720);
    capture.set(cv::CAP_PROP_FPS, 35);
    reset();

    int width = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    int height = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    {
        std::lock_guard<std::mutex> lock(mutex);
        const cv::Mat& first = *buffers[front];
        if (first.data == nullptr || first.empty()) {
            is_okay = false;
            message = "ERROR: Unable to obtain initial frame";
        } else {
            width = first.cols;
            height = first.rows;
        }
    }
    std::cout << "INFO: Video capture '" << id << "' opened" << std::endl;
    std::cout << "\tWidth:\t" << width << std::endl;
    std::cout << "\tHeight:\t" << height << std::endl;
    std::cout << "\tFrame rate:\t" << capture.get(cv::CAP_PROP_FPS) << std::endl;
    std::cout << "\tFourCC:\t" << fourcc_text(capture.get(cv::CAP_PROP_FOURCC)) << std::endl;
}

bool WebCamVideoStream::read_frame(cv::Mat& into) {
    std::lock_guard<std::mutex> lock(capture_mutex);
    return capture.read(into);
}

bool WebCamVideoStream::grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) {
    if (stopped.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!new_frame) return false;
    frame = std::move(buffers[front]);
    // The receiver owns the frame from now on; the slot gets a fresh matrix.
    buffers[front] = std::make_shared<cv::Mat>();
    new_frame = false;
    frame_id = static_cast<uint64_t>(frame_counter.load());
    return true;
}

bool WebCamVideoStream::okay(std::string& message_) {
    message_ = message;
    return is_okay;
}

void WebCamVideoStream::reset() {
    if (!capture.isOpened()) return;
    std::lock_guard<std::mutex> device(capture_mutex);
    std::lock_guard<std::mutex> lock(mutex);
    front = 0;
    frame_counter.store(0);
    buffers[0] = std::make_shared<cv::Mat>();
    buffers[1] = std::make_shared<cv::Mat>();
    capture.read(*buffers[0]);
    new_frame = true;
}

std::string WebCamVideoStream::get_id() { return id; }

FrameOrigin WebCamVideoStream::frame_origin(uint64_t) {
    FrameOrigin origin;
    origin.source = id;
    origin.camera = device;
    return origin;
}

void WebCamVideoStream::work() {
    stopped.store(false);
    thread.start(&WebCamVideoStream::update, this, [this] { stopped.store(true); });
    const auto deadline = std::chrono::steady_clock::now() + READY_LIMIT;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (new_frame) return;
        }
        sleep_full(READY_POLL);
    }
    // A device that delivers nothing: grab keeps returning false until it does.
}

void WebCamVideoStream::stop() {
    stopped.store(true);
    thread.join();
}

CallbackMap WebCamVideoStream::get_callbacks() { return {}; }

void WebCamVideoStream::update() {
    cv::Mat mirrored_source;
    while (!stopped.load(std::memory_order_relaxed)) {
        uint64_t back;
        std::shared_ptr<cv::Mat> target;
        {
            std::lock_guard<std::mutex> lock(mutex);
            back = 1 - front;
            target = buffers[back];
        }
        // Only this thread touches the back slot's matrix: grab takes the
        // front slot only, and reset replaces the slots instead of writing
        // into them.
        if (flip) {
            read_frame(mirrored_source);
            if (mirrored_source.empty()) {
                target->release();
            } else {
                cv::flip(mirrored_source, *target, 1);
            }
        } else {
            read_frame(*target);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            // A reset meanwhile has replaced the slots; this frame is stale.
            if (buffers[back] == target) {
                front = back;
                new_frame = true;
                frame_counter.fetch_add(1);
            }
        }
        const auto pause_end = std::chrono::steady_clock::now() + CAPTURE_PAUSE;
        while (!stopped.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < pause_end) {
            sleep_full(std::min<std::chrono::nanoseconds>(READY_POLL, pause_end - std::chrono::steady_clock::now()));
        }
    }
}
