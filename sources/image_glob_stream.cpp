#include "sources/image_glob_stream.hpp"

#include "pipeline/key_codes.hpp"
#include "sources/glob.hpp"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <thread>

namespace {
// Longest single wait of the display thread, so that no wait is unbounded; a
// key or a stop wakes it at once, and the display time ends it when due.
constexpr std::chrono::seconds IDLE_RECHECK{30};
}  // namespace

ImageGlobStream::ImageGlobStream(std::string id_, std::shared_ptr<Demo> demo_, std::chrono::nanoseconds display_time_)
    : id(std::move(id_)), display_time(display_time_), demo(std::move(demo_)) {
    const std::string pattern = demo->path_image_glob + "*." + demo->image_extension;
    // No folder named: no images (the pattern alone would search the working folder).
    if (!demo->path_image_glob.empty()) {
        for (glob::Glob entry(pattern); entry; entry.Next()) {
            names.push_back(entry.GetFileName());
            paths.push_back(entry.GetBaseDir() + "/" + entry.GetFileName());
        }
    }
    std::sort(names.begin(), names.end());
    std::sort(paths.begin(), paths.end());
    count = names.size();
    image = std::make_shared<cv::Mat>();
    std::string message;
    if (okay(message)) get_frame();
}

bool ImageGlobStream::grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) {
    std::lock_guard<std::mutex> lock(mutex);
    frame_id = image_index;
    if (stopped.load(std::memory_order_relaxed) || !new_image) return false;
    frame = std::move(image);
    // The thread loads into a fresh matrix, never into one handed out.
    image = std::make_shared<cv::Mat>();
    new_image = false;
    return true;
}

bool ImageGlobStream::okay(std::string& message) {
    if (count > 0) {
        message.clear();
        return true;
    }
    message = "No files found in '" + demo->path_image_glob + "' with extension '" + demo->image_extension + "'\n";
    return false;
}

void ImageGlobStream::reset() {}

std::string ImageGlobStream::get_id() { return id; }

FrameOrigin ImageGlobStream::frame_origin(uint64_t frame_id) {
    FrameOrigin origin;
    origin.source = id;
    if (frame_id < names.size()) origin.image = names[frame_id];
    return origin;
}

void ImageGlobStream::work() {
    stopped.store(false);
    get_frame();
    thread.start(&ImageGlobStream::cycle, this, [this] { request_stop(); });
}

void ImageGlobStream::stop() {
    request_stop();
    thread.join();
}

void ImageGlobStream::request_stop() {
    stopped.store(true);
    wake_thread();
}

void ImageGlobStream::wake_thread() {
    // Taking the lock orders the flag's store before the thread's check of
    // it, so the notification cannot fall between its check and its sleep.
    { std::lock_guard<std::mutex> lock(wait_mutex); }
    wake.notify_all();
}

CallbackMap ImageGlobStream::get_callbacks() {
    return {
        {KEY_LEFT, [this] { previous(); }},
        {KEY_RIGHT, [this] { next(); }},
        {KEY_LEFT_WINDOWS, [this] { previous(); }},
        {KEY_RIGHT_WINDOWS, [this] { next(); }},
    };
}

void ImageGlobStream::move_index(bool forward) {
    if (count == 0) return;
    // Key actions and the display thread may move the index at the same
    // time; neither move may be lost.
    uint64_t current = index.load();
    uint64_t moved;
    do {
        moved = forward ? (current + 1) % count : (current == 0 ? count - 1 : current - 1);
    } while (!index.compare_exchange_weak(current, moved));
}

void ImageGlobStream::next() {
    if (count == 0) return;
    move_index(true);
    changed.store(true);
    wake_thread();
}

void ImageGlobStream::previous() {
    if (count == 0) return;
    move_index(false);
    changed.store(true);
    wake_thread();
}

void ImageGlobStream::step_forward() { move_index(true); }

void ImageGlobStream::step_back() { move_index(false); }

void ImageGlobStream::get_frame() {
    if (count == 0) return;
    const uint64_t position = index.load();
    // Decoded before taking the lock, so that grab is never held up by a
    // file read; a key that moves the index meanwhile triggers another load.
    auto loaded = std::make_shared<cv::Mat>(cv::imread(paths[position], cv::IMREAD_COLOR));
    std::lock_guard<std::mutex> lock(mutex);
    image = std::move(loaded);
    image_index = position;
    new_image = true;
}

void ImageGlobStream::cycle() {
    using Clock = std::chrono::steady_clock;
    while (!stopped.load(std::memory_order_relaxed)) {
        const auto start = Clock::now();
        const bool timed = display_time.count() != 0;
        const auto due = start + display_time;
        bool elapsed = false;
        {
            // Sleeps until a key, a stop or the display time, whichever comes first.
            std::unique_lock<std::mutex> lock(wait_mutex);
            const auto woken = [this] { return changed.load() || stopped.load(); };
            while (!woken()) {
                const auto now = Clock::now();
                if (timed && now >= due) {
                    elapsed = true;
                    break;
                }
                wake.wait_until(lock, timed ? std::min(due, now + IDLE_RECHECK) : now + IDLE_RECHECK);
            }
        }
        if (stopped.load(std::memory_order_relaxed)) break;
        // Cleared before loading: a key pressed during the load is not lost.
        if (changed.exchange(false)) {
            get_frame();
        } else if (elapsed) {
            move_index(true);
            get_frame();
        }
    }
}
