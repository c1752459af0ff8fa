// A recording of what the window shows: every canvas handed to `add` goes to
// a video file, written on a thread of its own so that the window never waits
// for the encoder.
//
// A video file needs its frame rate before the first frame. The recorder
// holds the first canvases, measures the rate at which they came, opens the
// file at that rate and writes them; from then on canvases are written as
// they come. The first RATE_SKIP canvases are left out of the measurement:
// they come at the pace of the pipeline's start (the window opening, the
// first uploads), not of its run; the rate is taken over the next second
// (at most RATE_FRAMES canvases).
#pragma once

#include "platform/owned_thread.hpp"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The four-character code the recorder writes for a file name, by its
// extension (.avi and .mkv: MJPG, .mp4 and .mov: mp4v); 0 when the extension
// is not one of these.
int recording_fourcc(const std::string& path);

class Recorder {
public:
    // Canvases not measured, the canvases the rate is measured over at most,
    // and the longest time.
    static constexpr size_t RATE_SKIP = 5;
    static constexpr size_t RATE_FRAMES = 30;
    static constexpr std::chrono::milliseconds RATE_TIME{1000};
    // Canvases that may wait for the encoder once the file is open; more
    // are dropped (and counted) rather than slow down the window.
    static constexpr size_t QUEUE_LIMIT = 16;

    // Checks that the file can be written with the codec its name asks for
    // and starts the writing thread. Raises exception_fatal naming the path
    // when it cannot.
    explicit Recorder(std::string path, size_t queue_limit = QUEUE_LIMIT);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Hands over one canvas shown at `when`; never waits for the encoder.
    // The canvas must not change afterwards. Ignored after `close`.
    void add(std::shared_ptr<const cv::Mat> canvas,
             std::chrono::steady_clock::time_point when = std::chrono::steady_clock::now());

    // Writes every canvas handed over, closes the file and writes one line
    // on the recording to standard output. A recording without a single
    // canvas leaves no file. Harmless when called again.
    void close();

    // After `close`: canvases written and dropped, and the frame rate.
    uint64_t frames_written() const { return written; }
    uint64_t frames_dropped() const { return dropped; }
    double frame_rate() const { return rate; }

private:
    using Stamped = std::pair<std::shared_ptr<const cv::Mat>, std::chrono::steady_clock::time_point>;

    void run();
    // Opens the file at the rate of the held canvases and writes them.
    void open_and_write_held();
    void write(const cv::Mat& canvas);

    std::string path;
    size_t queue_limit;
    int fourcc = 0;
    cv::VideoWriter writer;
    cv::Size size;
    std::vector<Stamped> held;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Stamped> queue;
    bool opened = false;   // the file is open at its rate (under `mutex`)
    bool closing = false;  // no more canvases come (under `mutex`)
    bool closed = false;   // close() has run (main thread only)

    uint64_t written = 0;
    uint64_t dropped = 0;
    double rate = 0.0;
    // Last, so that it is joined before the members it uses go.
    OwnedThread thread{"Recorder", OwnedThread::Errors::hand_over};
};
