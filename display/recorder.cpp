#include "display/recorder.hpp"

#include "platform/fatal_error.hpp"

#include <opencv2/imgproc.hpp>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>

namespace {

// Rate of a recording whose canvases say nothing about it (a single one).
constexpr double FALLBACK_RATE = 25.0;
// Scheduling priority of the writing thread (0 normal, 19 lowest).
constexpr int ENCODER_NICENESS = 10;
// Longest single wait of the writing thread.
constexpr std::chrono::milliseconds WAIT_SLICE{100};

std::string lower_extension(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string extension = path.substr(dot);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

}  // namespace

int recording_fourcc(const std::string& path) {
    const std::string extension = lower_extension(path);
    if (extension == ".avi" || extension == ".mkv") return cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    if (extension == ".mp4" || extension == ".mov") return cv::VideoWriter::fourcc('m', 'p', '4', 'v');
    return 0;
}

Recorder::Recorder(std::string path_, size_t queue_limit_)
    : path(std::move(path_)), queue_limit(queue_limit_), fourcc(recording_fourcc(path)) {
    if (fourcc == 0) {
        throw exception_fatal({"ERROR: Unknown recording file type (use .avi, .mkv, .mp4 or .mov)",
                               "\tFile path:\t" + path});
    }
    // Tried once now, so that a file that cannot be written stops the program
    // before the window opens rather than at its end.
    cv::VideoWriter probe;
    const bool writable = probe.open(path, cv::CAP_FFMPEG, fourcc, FALLBACK_RATE, cv::Size(1280, 720));
    probe.release();
    std::remove(path.c_str());
    if (!writable) throw exception_fatal({"ERROR: Unable to write recording file", "\tFile path:\t" + path});
    thread.start([this] {
        // The encoder gives way to the pipeline when the processor is busy
        // (the encoder's own threads, started from here, inherit this):
        // a recording that falls behind drops canvases, the demo does not
        // slow down. Failing to lower the priority changes nothing else.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), ENCODER_NICENESS);
        try {
            run();
        } catch (...) {
            // Nothing more is taken in; the error ends the program.
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
            queue.clear();
            throw;
        }
    });
}

Recorder::~Recorder() {
    try {
        close();
    } catch (...) {
    }
}

void Recorder::add(std::shared_ptr<const cv::Mat> canvas, std::chrono::steady_clock::time_point when) {
    if (!canvas || canvas->empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closing) return;
        // Before the file is open every canvas is kept: the rate is measured
        // over them (at most RATE_FRAMES arrive before it opens).
        if (opened && queue.size() >= queue_limit) {
            ++dropped;
            return;
        }
        queue.emplace_back(std::move(canvas), when);
    }
    changed.notify_one();
}

void Recorder::close() {
    if (closed) return;
    closed = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    changed.notify_one();
    thread.join();
    if (writer.isOpened()) writer.release();
    if (written == 0) {
        std::remove(path.c_str());
        std::cout << "Recording: no canvas shown, " << path << " not written" << std::endl;
        return;
    }
    char line[64];
    std::snprintf(line, sizeof line, "%.2f", rate);
    std::cout << "Recording: " << path << ", " << written << " frames at " << line << " frames/s";
    if (dropped > 0) std::cout << " (" << dropped << " dropped: the encoder fell behind)";
    std::cout << std::endl;
}

void Recorder::run() {
    for (;;) {
        Stamped next;
        {
            std::unique_lock<std::mutex> lock(mutex);
            while (queue.empty() && !closing) changed.wait_for(lock, WAIT_SLICE);
            if (queue.empty()) break;  // closing, and everything is written
            next = std::move(queue.front());
            queue.pop_front();
        }
        if (writer.isOpened()) {
            write(*next.first);
            continue;
        }
        held.push_back(std::move(next));
        if (held.size() >= RATE_SKIP + RATE_FRAMES ||
            (held.size() > RATE_SKIP && held.back().second - held[RATE_SKIP].second >= RATE_TIME)) {
            open_and_write_held();
        }
    }
    if (!writer.isOpened() && !held.empty()) open_and_write_held();
}

void Recorder::open_and_write_held() {
    rate = FALLBACK_RATE;
    // A short run has only its start to go by.
    const size_t first = held.size() >= RATE_SKIP + 2 ? RATE_SKIP : 0;
    if (held.size() >= first + 2) {
        const double seconds = std::chrono::duration<double>(held.back().second - held[first].second).count();
        if (seconds > 0.0) rate = static_cast<double>(held.size() - 1 - first) / seconds;
    }
    // The writers of the container formats want a sensible rate.
    rate = std::min(std::max(rate, 1.0), 120.0);
    size = held.front().first->size();
    if (!writer.open(path, cv::CAP_FFMPEG, fourcc, rate, size)) {
        throw exception_fatal({"ERROR: Unable to write recording file", "\tFile path:\t" + path});
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
    }
    for (const auto& canvas : held) write(*canvas.first);
    held.clear();
}

void Recorder::write(const cv::Mat& canvas) {
    if (canvas.size() == size && canvas.type() == CV_8UC3) {
        writer.write(canvas);
    } else {
        // The window shows what it is given; the file keeps one size.
        cv::Mat fitted;
        cv::resize(canvas, fitted, size);
        if (fitted.type() != CV_8UC3) fitted.convertTo(fitted, CV_8UC3);
        writer.write(fitted);
    }
    ++written;
}
