// The output window: a thread takes frames from a source, shows them, polls
// the keyboard every cycle and runs the action registered for the key.
#pragma once

#include "records/config.hpp"
#include "display/recorder.hpp"
#include "pipeline/key_codes.hpp"
#include "pipeline/worker.hpp"
#include "platform/owned_thread.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

// The action under KEY_ESCAPE also runs once when the user closes the window.
class Display : public ThreadWorker {
public:
    Display(std::shared_ptr<Source> source, std::shared_ptr<Demo> demo);
    ~Display();

    void stop() override;
    // Starts the display thread and returns at once. Without a display it
    // raises exception_fatal with "ERROR: No display available".
    void work() override;
    CallbackMap get_callbacks() override;

    // The key map may be rebuilt from any thread while the display runs.
    void register_callback(int key, std::function<void()> action);
    void register_callbacks(const CallbackMap& map);
    void clear_callbacks();
    // Clears the map and registers `map` in one step, so that no key (and no
    // closed window) meets an empty map in between.
    void replace_callbacks(const CallbackMap& map);

    // Runs the action registered under `key` on the calling thread; false when
    // there is none. The action is called outside the map's lock, so it may
    // itself change the map.
    bool dispatch_key(int key);

    // Every new canvas from the source also goes to `recorder`, which is
    // closed when the display stops. Set before `work`.
    void record_to(std::shared_ptr<Recorder> recorder);

    // Called on the display thread with every canvas just drawn into the
    // window and the moment its drawing ended; it must return quickly. Set
    // before `work`.
    using CanvasWatcher =
        std::function<void(const std::shared_ptr<cv::Mat>&, std::chrono::steady_clock::time_point shown)>;
    void watch_canvases(CanvasWatcher watcher);

    // Display cycles run so far (0: the window has not been created yet).
    int32_t get_display_count() const { return display_count.load(); }
    // Canvases drawn into the window so far; a canvas is drawn once, when it
    // arrives, however many cycles it stays on screen.
    int32_t get_show_count() const { return show_count.load(); }

private:
    void display();
    void display_frames();
    void close_window();

    std::mutex callbacks_mutex;
    CallbackMap callbacks;
    std::shared_ptr<cv::Mat> frame;
    // The number of the frame drawn on `frame`, as the source handed it out.
    uint64_t frame_number = 0;
    std::shared_ptr<Source> source;
    std::shared_ptr<Demo> demo;
    std::atomic<int32_t> display_count{0};
    std::shared_ptr<Recorder> recorder;
    CanvasWatcher watcher;
    std::atomic<int32_t> show_count{0};

    // Window state, owned by the display thread while it runs.
    std::string window_name;
    bool window_created = false;
    bool window_seen = false;
    bool window_closed = false;
    bool unshown = false;  // the source delivered a canvas the window has not drawn yet
    std::string drawn_status;  // the status line drawn over the canvas shown, if any
    std::chrono::steady_clock::time_point status_drawn_at;
    // Last, so that it is stopped and joined before the members it uses go.
    OwnedThread thread{"Display"};
};

// The key code the key maps use for a code of the window library: the arrow
// keys (reported by their X keysyms, left 65361 to down 65364) become 81 to
// 84; every other code stays whole, so that a key outside the character
// range (Compose is 65312) never acts as the key of its low byte.
int key_from_window_code(int code);

// Waits up to `delay_ms` milliseconds for a key in the program's window and
// returns its code as key_from_window_code gives it, or -1 when none came. A
// key code of 0 consumes a pending console key when standard input is a
// terminal.
int wait_key(int delay_ms);
