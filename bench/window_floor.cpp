// The window's floor: shows a 1280 x 720 canvas through the demonstrator's
// own window code (Display) at a given rate and does nothing else, so that
// the processor time the window alone costs per frame can be set beside the
// demonstrator's.
//
//   window_floor [--rate FRAMES_PER_S] [--seconds N] [--settle N] [--scene FILE]
//
// A new canvas (two pictures taken in turn, so every one differs from the one
// before) is due every 1 / rate seconds. The processor time of the whole
// process is taken from a point --settle seconds in (the window open, its
// first canvases drawn) to the end, and divided by the canvases due in
// between. The one line printed:
//
//   floor: RATE frames/s, SHOWN shown, USER / SYSTEM ms a frame
#include "display/display.hpp"
#include "platform/fatal_error.hpp"
#include "tests/support/test_source.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Hands out a new canvas whenever one is due.
class PacedCanvases : public NullSource {
public:
    PacedCanvases(const cv::Mat& picture, double rate)
        : NullSource("window floor"),
          period(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate))) {
        cv::resize(picture, canvases[0], cv::Size(1280, 720));
        cv::flip(canvases[0], canvases[1], 1);
    }

    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override {
        std::lock_guard<std::mutex> lock(mutex);
        const auto now = Clock::now();
        if (now < due) return false;
        // A late grab takes the newest canvas only, as the window does with
        // the post-processing stage's.
        due = std::max(due + period, now);
        ++handed;
        frame = std::make_shared<cv::Mat>(canvases[handed % 2]);
        frame_id = handed;
        return true;
    }

    uint64_t canvases_handed() {
        std::lock_guard<std::mutex> lock(mutex);
        return handed;
    }

private:
    const Clock::duration period;
    cv::Mat canvases[2];
    std::mutex mutex;
    Clock::time_point due{};
    uint64_t handed = 0;
};

double in_ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

int measure_floor(int argc, char** argv) {
    double rate = 25.0;
    double seconds = 12.0;
    double settle = 4.0;
    std::string scene = "../data/scenes/scene_01_1280x720.png";
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) {
            std::cerr << "ERROR: " << flag << " needs a value (see the head of bench/window_floor.cpp)" << std::endl;
            return 2;
        }
        const std::string value = argv[++i];
        if (flag == "--rate") {
            rate = std::atof(value.c_str());
        } else if (flag == "--seconds") {
            seconds = std::atof(value.c_str());
        } else if (flag == "--settle") {
            settle = std::atof(value.c_str());
        } else if (flag == "--scene") {
            scene = value;
        } else {
            std::cerr << "ERROR: unknown flag " << flag << std::endl;
            return 2;
        }
    }
    if (!(rate > 0) || !(seconds > settle) || settle < 0) {
        std::cerr << "ERROR: needs a rate above 0 and --seconds above --settle" << std::endl;
        return 2;
    }
    const cv::Mat picture = cv::imread(scene, cv::IMREAD_COLOR);
    if (picture.empty()) {
        std::cerr << "ERROR: cannot read the scene " << scene << std::endl;
        return 1;
    }

    auto source = std::make_shared<PacedCanvases>(picture, rate);
    Display display(source, std::make_shared<Demo>());
    display.work();
    const auto start = Clock::now();
    std::this_thread::sleep_until(start + std::chrono::duration<double>(settle));
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const uint64_t handed_before = source->canvases_handed();
    const int32_t shown_before = display.get_show_count();
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const uint64_t frames = source->canvases_handed() - handed_before;
    const int32_t shown = display.get_show_count() - shown_before;
    display.stop();

    const double per = frames > 0 ? 1.0 / static_cast<double>(frames) : 0.0;
    std::printf("floor: %.2f frames/s, %d shown, %.3f / %.3f ms a frame\n", rate, shown,
                (in_ms(after.ru_utime) - in_ms(before.ru_utime)) * per,
                (in_ms(after.ru_stime) - in_ms(before.ru_stime)) * per);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return measure_floor(argc, argv);
    } catch (const exception_fatal& error) {
        error.write(std::cout, std::cerr);
        return 1;
    }
}
