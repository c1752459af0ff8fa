#include "display/display.hpp"

#include "display/status_line.hpp"
#include "pipeline/session_health.hpp"
#include "platform/console.hpp"
#include "platform/display_check.hpp"
#include "platform/fatal_handover.hpp"
#include "platform/trace.hpp"

#include <opencv2/highgui.hpp>

#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <iostream>
#include <optional>
#include <thread>
#include <utility>

namespace {

// The window library (Qt) binds itself to the first thread that opens a
// window: calls from any other thread are forwarded to that one and block
// forever once it has ended. So every window call of the process runs on one
// thread that lives until the process ends, and the display thread (which may
// be started, stopped and replaced) hands its window work to it.
// It is the one thread of the program that is never joined, so it is a plain
// detached std::thread rather than an OwnedThread.
class WindowThread {
public:
    static WindowThread& instance() {
        // Never destroyed: the thread must outlive every static object that
        // might still show a window while the process ends.
        static WindowThread* const window_thread = new WindowThread;
        return *window_thread;
    }

    template <typename F>
    auto run(F&& task) -> decltype(task()) {
        if (std::this_thread::get_id() == id) return task();
        std::packaged_task<decltype(task())()> packaged(std::forward<F>(task));
        auto result = packaged.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.emplace_back([&packaged] { packaged(); });
        }
        wake.notify_one();
        return result.get();
    }

private:
    WindowThread() {
        // Opening the first window without a display aborts the process.
        require_display();
        std::thread worker(&WindowThread::loop, this);
        id = worker.get_id();
        worker.detach();
    }

    void loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait(lock, [this] { return !tasks.empty(); });
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::thread::id id;
};

// The console key that came with a window key code of 0, if one is pending.
void consume_console_key() {
    if (!::isatty(STDIN_FILENO)) return;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 0) != 1) return;
    const int key = console_getch();
    // 0 and 224 introduce a two-part key code.
    if ((key == 0 || key == 224) && ::poll(&input, 1, 0) == 1) console_getch();
}

}  // namespace

int key_from_window_code(int code) {
    // X keysyms of the left, up, right and down arrows.
    constexpr int ARROW_FIRST = 0xFF51;
    constexpr int ARROW_LAST = 0xFF54;
    if (code >= ARROW_FIRST && code <= ARROW_LAST) return KEY_LEFT + (code - ARROW_FIRST);
    return code;
}

int wait_key(int delay_ms) {
    const int key = key_from_window_code(
        WindowThread::instance().run([delay_ms] { return cv::waitKeyEx(delay_ms); }));
    if (key != 0) return key;
    consume_console_key();
    return 0;
}

Display::Display(std::shared_ptr<Source> source_, std::shared_ptr<Demo> demo_)
    : source(std::move(source_)), demo(std::move(demo_)) {}

Display::~Display() {
    stopped.store(true);
    thread.join_handing_over();
    close_window();
    if (recorder) recorder->close();
}

void Display::record_to(std::shared_ptr<Recorder> recorder_) { recorder = std::move(recorder_); }

void Display::watch_canvases(CanvasWatcher watcher_) { watcher = std::move(watcher_); }

void Display::close_window() {
    if (!window_created) return;
    const std::string name = window_name;
    WindowThread::instance().run([name] { cv::destroyWindow(name); });
    window_created = false;
    window_seen = false;
    window_closed = false;
}

void Display::work() {
    // The window library would abort the process without a display.
    require_display();
    window_name = source->get_id();
    // A new window starts with the canvas the last one showed.
    unshown = static_cast<bool>(frame);
    stopped.store(false);
    // A display started twice is refused: a running loop is never lost.
    thread.start(&Display::display, this, [this] { stopped.store(true); });
}

void Display::stop() {
    stopped.store(true);
    thread.join();
    close_window();
    // However the program ends, it stops the display on the way: the
    // recording is complete and playable from here.
    if (recorder) recorder->close();
}

CallbackMap Display::get_callbacks() { return {}; }

void Display::register_callback(int key, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    callbacks[key] = std::move(action);
}

void Display::register_callbacks(const CallbackMap& map) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    for (const auto& entry : map) callbacks[entry.first] = entry.second;
}

void Display::clear_callbacks() {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    callbacks.clear();
}

void Display::replace_callbacks(const CallbackMap& map) {
    std::lock_guard<std::mutex> lock(callbacks_mutex);
    callbacks = map;
}

bool Display::dispatch_key(int key) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(callbacks_mutex);
        const auto found = callbacks.find(key);
        if (found == callbacks.end() || !found->second) return false;
        action = found->second;
    }
    action();
    return true;
}

void Display::display() {
    try {
        while (!stopped.load(std::memory_order_relaxed)) display_frames();
    } catch (...) {
        // The main thread takes the error over at its next check and ends
        // the program with its lines. The stop that Escape gives also ends a
        // program that does not look for handed-over errors.
        hand_over_current_error("Display");
        try {
            dispatch_key(KEY_ESCAPE);
        } catch (...) {
        }
    }
}

void Display::display_frames() {
    // The canvas and the number of the frame drawn on it travel together.
    const bool fresh = source->grab(frame, frame_number);
    if (fresh) unshown = true;
    if (fresh && recorder && frame) recorder->add(frame);
    const uint64_t traced = frame_number;

    const bool first_cycle = !window_created;
    const bool fullscreen = demo && demo->fullscreen;
    const std::shared_ptr<cv::Mat> shown = frame;
    const std::string& name = window_name;
    bool closed_now = false;
    // The status line, while there is one, is drawn over a copy of the canvas
    // when it changes and at least once a second.
    const auto now = std::chrono::steady_clock::now();
    const std::string status = status_text(now);
    const bool status_due = status != drawn_status || (!status.empty() && now - status_drawn_at >= std::chrono::seconds(1));
    std::optional<std::chrono::steady_clock::time_point> shown_at;

    const int key = WindowThread::instance().run([&]() -> int {
        if (first_cycle) {
            // The first cycle only creates the window; GUI_NORMAL leaves out
            // the toolbar and status bar so the window is just the image.
            if (fullscreen) {
                cv::namedWindow(name, cv::WINDOW_NORMAL | cv::WINDOW_GUI_NORMAL);
                cv::setWindowProperty(name, cv::WND_PROP_FULLSCREEN, cv::WINDOW_FULLSCREEN);
            } else {
                cv::namedWindow(name, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
            }
            window_created = true;
        } else if ((unshown || status_due) && !window_closed) {
            // Only a canvas not shown yet is drawn: the window keeps its
            // picture on its own, and drawing the same one again on every
            // cycle would cost more than all of a frame's other work.
            if (shown && !shown->empty()) {
                if (status.empty()) {
                    trace::Span traced_show(trace::Stage::shown, traced);
                    cv::imshow(name, *shown);
                } else {
                    cv::imshow(name, with_status(*shown, status));
                }
                if (unshown) {
                    shown_at = std::chrono::steady_clock::now();
                    show_count.fetch_add(1);
                    count(loop_counters().canvases_shown);
                }
            }
            unshown = false;
            drawn_status = status;
            status_drawn_at = now;
        }
        const int pressed = wait_key(12);
        if (window_created && !window_closed) {
            // A window the user closed reads as invisible; showing into it
            // again would bring it back, so it stays closed.
            const bool visible = cv::getWindowProperty(name, cv::WND_PROP_VISIBLE) > 0;
            if (visible) {
                window_seen = true;
            } else if (window_seen) {
                window_closed = true;
                closed_now = true;
            }
        }
        return pressed;
    });

    if (shown_at && watcher) watcher(shown, *shown_at);
    if (closed_now) dispatch_key(KEY_ESCAPE);
    if (window_closed && key == -1) {
        // No window to wait in any more: keep the cycle's pace.
        std::this_thread::sleep_for(std::chrono::milliseconds(12));
    }
    if (key != -1) dispatch_key(key);
    display_count.fetch_add(1);
}
