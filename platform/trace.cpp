#include "platform/trace.hpp"

#include "platform/owned_thread.hpp"

#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

namespace trace {

namespace detail {
std::atomic<bool> enabled{false};
}  // namespace detail

namespace {

using namespace std::chrono_literals;

constexpr auto WRITE_INTERVAL = 250ms;

struct Event {
    Clock::time_point begin;
    Clock::time_point end;
    uint64_t frame;
    int32_t thread;
    Stage stage;
};

thread_local const int32_t this_thread = static_cast<int32_t>(::syscall(SYS_gettid));

// Microseconds of `t` since `origin`, with one decimal.
void put_micros(std::string& line, Clock::time_point t, Clock::time_point origin) {
    const int64_t tenths = std::chrono::duration_cast<std::chrono::nanoseconds>(t - origin).count() / 100;
    char text[32];
    const int64_t whole = tenths / 10, fraction = tenths % 10;
    std::snprintf(text, sizeof text, "%s%lld.%lld", tenths < 0 && whole == 0 ? "-" : "",
                  static_cast<long long>(whole), static_cast<long long>(fraction < 0 ? -fraction : fraction));
    line += text;
}

class Recorder {
public:
    ~Recorder() { close(); }

    bool open(const std::string& path) {
        std::lock_guard<std::mutex> opening(open_mutex);
        if (file) return false;
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (!f) return false;
        std::fputs("frame,stage,thread,begin_us,end_us\n", f);
        std::fflush(f);
        {
            std::lock_guard<std::mutex> lock(mutex);
            pending.clear();
            pending.reserve(4096);
            dropped = 0;
            closing = false;
            origin = Clock::now();
        }
        file = f;
        writer.start(&Recorder::write_loop, this);
        detail::enabled.store(true);
        return true;
    }

    size_t close() {
        std::lock_guard<std::mutex> opening(open_mutex);
        if (!file) return 0;
        detail::enabled.store(false);
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        wake.notify_all();
        writer.join();
        std::fclose(file);
        file = nullptr;
        return dropped;
    }

    void add(Stage stage, uint64_t frame, Clock::time_point begin) {
        std::lock_guard<std::mutex> lock(mutex);
        // A stage that ends after close() began is not written.
        if (closing) return;
        // The end is taken under the lock, so the lines come in end order.
        const Clock::time_point end = Clock::now();
        if (pending.size() >= MAX_PENDING) {
            ++dropped;
            return;
        }
        pending.push_back(Event{begin, end, frame, this_thread, stage});
    }

private:
    void write_loop() {
        std::vector<Event> batch;
        batch.reserve(4096);
        std::string text;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait_for(lock, WRITE_INTERVAL, [this] { return closing; });
            batch.swap(pending);
            const bool last = closing;
            const Clock::time_point zero = origin;
            lock.unlock();
            text.clear();
            for (const Event& e : batch) {
                text += std::to_string(e.frame);
                text += ',';
                text += stage_name(e.stage);
                text += ',';
                text += std::to_string(e.thread);
                text += ',';
                put_micros(text, e.begin, zero);
                text += ',';
                put_micros(text, e.end, zero);
                text += '\n';
            }
            if (!text.empty()) {
                std::fwrite(text.data(), 1, text.size(), file);
                std::fflush(file);
            }
            batch.clear();
            lock.lock();
            if (last) return;
        }
    }

    std::mutex open_mutex;  // open() and close() against each other
    std::FILE* file = nullptr;

    std::mutex mutex;  // everything below
    std::condition_variable wake;
    std::vector<Event> pending;
    size_t dropped = 0;
    bool closing = false;
    Clock::time_point origin{};
    // Last, so that it is joined before the members it uses go.
    OwnedThread writer{"Trace"};
};

Recorder& recorder() {
    static Recorder instance;
    return instance;
}

}  // namespace

const char* stage_name(Stage stage) {
    static const char* const names[STAGE_COUNT] = {"grab", "prepare", "upload", "core",
                                                   "download", "decode", "draw", "shown"};
    const auto index = static_cast<size_t>(stage);
    return index < STAGE_COUNT ? names[index] : "?";
}

bool open(const std::string& path) { return recorder().open(path); }

size_t close() { return recorder().close(); }

void detail::add(Stage stage, uint64_t frame, Clock::time_point begin) { recorder().add(stage, frame, begin); }

}  // namespace trace
