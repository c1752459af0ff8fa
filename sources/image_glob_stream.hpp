// Frame source that shows a folder of still images in name order, one after
// another after a display time, or stepped by the arrow keys.
#pragma once

#include "records/config.hpp"
#include "pipeline/worker.hpp"
#include "platform/owned_thread.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ImageGlobStream : public Stream {
public:
    // Lists the files path_image_glob + "*." + image_extension of `demo` and
    // loads the first one if any. A display time of 0 never advances by itself.
    ImageGlobStream(std::string id, std::shared_ptr<Demo> demo, std::chrono::nanoseconds display_time);

    // Hands out the loaded image if it has not been handed out yet and the
    // stream runs. `frame_id` always receives the list position of the image
    // loaded last: the current index, except in the moment between a move of
    // the index and the load of that image, when the id still names the
    // image the caller actually has.
    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override;
    bool okay(std::string& message) override;
    void reset() override;
    std::string get_id() override;
    // The image file's name (the id is its position in the list).
    FrameOrigin frame_origin(uint64_t frame_id) override;

    // Loads the image at the current index and starts the display thread.
    void work() override;
    void stop() override;
    // The left and right arrow keys, in both forms of their codes.
    CallbackMap get_callbacks() override;

    // Key actions: move the index and have the thread load that image at once.
    // They do nothing on an empty list.
    void next();
    void previous();
    // The same index moves without reloading.
    void step_forward();
    void step_back();
    uint64_t get_i() const { return index.load(); }

    // Loads the image at the current index as the one to hand out next.
    void get_frame();

    const std::vector<std::string>& get_names() const { return names; }
    const std::vector<std::string>& get_paths() const { return paths; }
    uint64_t get_count() const { return count; }

private:
    void cycle();
    void move_index(bool forward);
    // Wakes the display thread after `changed` or `stopped` was set.
    void wake_thread();
    // Sets `stopped` and wakes the display thread.
    void request_stop();

    std::string id;
    std::shared_ptr<cv::Mat> image;
    bool new_image = false;
    std::mutex mutex;
    std::chrono::nanoseconds display_time;
    std::shared_ptr<Demo> demo;
    std::vector<std::string> names;
    std::vector<std::string> paths;
    uint64_t count = 0;
    std::atomic<uint64_t> index{0};
    // List position of `image` (guarded by `mutex`).
    uint64_t image_index = 0;
    std::atomic<bool> changed{false};
    // The display thread sleeps on `wake` until a key moves the index, the
    // stream stops or the display time is up.
    std::mutex wait_mutex;
    std::condition_variable wake;
    // Last, so that it is stopped and joined before the members it uses go.
    OwnedThread thread{"Image folder source", OwnedThread::Errors::hand_over};
};
