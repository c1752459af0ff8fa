// The timeline recorder: when each stage of each frame began and ended, on
// the steady clock, written to a CSV file with one line per stage of a frame:
//
//   frame,stage,thread,begin_us,end_us
//
// `frame` is the pipeline's number for the frame, `thread` the kernel's id of
// the thread that did the work (one lane per thread), the times microseconds
// since the file was opened. Lines come in the order the stages ended.
//
// Recording costs one check of a flag while no file is open. With a file open
// a stage's end takes a lock and appends to memory; a background thread
// writes the lines out every quarter second, so the frame path never waits
// for the disk. At most MAX_PENDING stages wait to be written; more are
// dropped and counted (close() reports them).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace trace {

using Clock = std::chrono::steady_clock;

enum class Stage : uint8_t { grab, prepare, upload, core, download, decode, draw, shown };
constexpr int STAGE_COUNT = 8;
const char* stage_name(Stage stage);

constexpr size_t MAX_PENDING = size_t{1} << 18;

namespace detail {
extern std::atomic<bool> enabled;
void add(Stage stage, uint64_t frame, Clock::time_point begin);
}  // namespace detail

inline bool on() { return detail::enabled.load(std::memory_order_relaxed); }

// Starts recording into `path` (created or truncated) and writes the header
// line. False, with nothing recording, when the file cannot be opened or a
// trace is already open.
bool open(const std::string& path);

// Stops recording, writes every stage still waiting, closes the file and
// joins the writer. Returns the number of stages dropped for lack of room.
// Does nothing when no trace is open; safe to call more than once.
size_t close();

// Records a stage of `frame` that began at `begin` and ends now.
inline void record(Stage stage, uint64_t frame, Clock::time_point begin) {
    if (on()) detail::add(stage, frame, begin);
}

// A stage from construction to end() or destruction, whichever comes first.
// `active` false records nothing (for stages that happen only sometimes).
class Span {
public:
    Span(Stage stage_, uint64_t frame_, bool active_ = true) : active(active_ && on()) {
        if (active) {
            stage = stage_;
            frame = frame_;
            begin = Clock::now();
        }
    }
    ~Span() { end(); }
    void end() {
        if (active) detail::add(stage, frame, begin);
        active = false;
    }
    Span(const Span&) = delete;
    Span& operator=(const Span&) = delete;

private:
    bool active;
    Stage stage{};
    uint64_t frame = 0;
    Clock::time_point begin{};
};

}  // namespace trace
