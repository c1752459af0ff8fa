// The display in a real window: needs an X server (the test script runs the
// suite under Xvfb) and xdotool, xwd and ImageMagick's convert.
#include "display/display.hpp"
#include "platform/fatal_handover.hpp"
#include "tests/support/fatal.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include "tests/support/poll.hpp"
#include "tests/support/shell.hpp"
#include "tests/support/test_source.hpp"

#ifdef VD_TEST_HAS_X11
#include "x_close.hpp"
#endif

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using test_support::have_tool;
using test_support::shell;

// A source that has nothing for its first grabs, then one fixed frame.
class LateFrameSource : public NullSource {
public:
    LateFrameSource(std::string name, cv::Mat image) : NullSource(std::move(name)), image(std::move(image)) {}
    bool grab(std::shared_ptr<cv::Mat>& frame, uint64_t& frame_id) override {
        if (++grabs < 3) return false;
        if (delivered) return false;
        frame = std::make_shared<cv::Mat>(image);
        frame_id = 1;
        delivered = true;
        return true;
    }

private:
    cv::Mat image;
    int grabs = 0;
    bool delivered = false;
};

cv::Mat test_pattern() {
    cv::Mat image(180, 320, CV_8UC3, cv::Scalar(40, 40, 40));
    image(cv::Rect(0, 0, 160, 90)).setTo(cv::Scalar(0, 0, 255));
    image(cv::Rect(160, 0, 160, 90)).setTo(cv::Scalar(0, 255, 0));
    image(cv::Rect(0, 90, 160, 90)).setTo(cv::Scalar(255, 0, 0));
    for (int x = 160; x < 320; ++x) image(cv::Rect(x, 90, 1, 90)).setTo(cv::Scalar(x - 160, 255 - (x - 160), 128));
    return image;
}

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

// The window of the running display: its X id (empty while it does not
// exist yet) and geometry.
class TestWindow {
public:
    explicit TestWindow(std::string name) : name(std::move(name)) {}

    bool find() {
        return poll_until([this] {
            const std::string found = shell("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null");
            id = found.substr(0, found.find('\n'));
            return !id.empty();
        });
    }

    Geometry geometry() const {
        Geometry g;
        const std::string text = shell("xdotool getwindowgeometry --shell " + id + " 2>/dev/null");
        std::sscanf(text.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g.x, &g.y, &g.width, &g.height);
        return g;
    }

    // Keys are sent to this window itself, so that other programs on the
    // same X server (tests running in parallel) cannot take them.
    void keys(const std::string& names) const {
        shell("xdotool key --window " + id + " --delay 30 " + names + " 2>/dev/null");
    }

    std::string id;

private:
    std::string name;
};

class DisplayWindow : public testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
        if (!have_tool("xdotool")) GTEST_SKIP() << "xdotool is not installed";
    }

    std::shared_ptr<Display> start(const std::string& name, bool fullscreen = false) {
        auto demo = std::make_shared<Demo>();
        demo->fullscreen = fullscreen;
        display = std::make_shared<Display>(std::make_shared<LateFrameSource>(name, test_pattern()), demo);
        return display;
    }

    // Finds the window and waits until it takes keys: a probe key is sent
    // until its action has run (keys sent before the window is mapped and
    // listening are lost).
    void wait_ready(TestWindow& window) {
        ASSERT_TRUE(window.find());
        auto probed = std::make_shared<std::atomic<bool>>(false);
        display->register_callback(PROBE, [probed] { probed->store(true); });
        const bool ready = poll_until([&] {
            window.keys("p");
            return poll_until([&] { return probed->load(); }, 300ms);
        });
        display->register_callback(PROBE, nullptr);
        ASSERT_TRUE(ready) << "the window never received a key";
    }

    static constexpr int PROBE = 112;  // letter p

    void TearDown() override {
        if (display) display->stop();
    }

    std::shared_ptr<Display> display;
    std::mutex log_mutex;
    std::vector<int> log;

    std::function<void()> record(int code) {
        return [this, code] {
            std::lock_guard<std::mutex> lock(log_mutex);
            log.push_back(code);
        };
    }
    size_t logged() {
        std::lock_guard<std::mutex> lock(log_mutex);
        return log.size();
    }
};

}  // namespace

TEST_F(DisplayWindow, KeysReachExactlyTheRegisteredActions) {
    start("vd_keys");
    display->register_callback(27, record(27));
    display->register_callback(113, record(-1));
    // A map registered later replaces the entry under the same key.
    display->register_callbacks({{81, record(81)}, {83, record(83)}, {113, record(113)}});
    display->work();
    TestWindow window("vd_keys");
    wait_ready(window);
    window.keys("x Left Right q shift Escape");
    ASSERT_TRUE(poll_until([&] { return logged() >= 4; }));
    std::lock_guard<std::mutex> lock(log_mutex);
    EXPECT_EQ(log, (std::vector<int>{81, 83, 113, 27}));
}

namespace {

// Whether the window comes to show `expected` pixel for pixel. Without a
// window manager every window opens at 0,0: it is moved first where windows
// of tests running in parallel do not cover it.
::testing::AssertionResult shows(const TestWindow& window, const cv::Mat& expected) {
    shell("xdotool windowmove " + window.id + " 1500 840 windowraise " + window.id + " 2>/dev/null");
    const std::string shot = testing::TempDir() + "vd_display_shot_" + window.id + ".png";
    double difference = -1;
    Geometry g;
    const bool matched = poll_until(
        [&] {
            g = window.geometry();
            if (g.width != expected.cols || g.height != expected.rows) return false;
            shell("xwd -root -silent | convert xwd:- png:" + shot);
            const cv::Mat screen = cv::imread(shot, cv::IMREAD_COLOR);
            if (screen.empty() || g.x + g.width > screen.cols || g.y + g.height > screen.rows) return false;
            difference = cv::norm(screen(cv::Rect(g.x, g.y, g.width, g.height)), expected, cv::NORM_INF);
            return difference <= 2;
        },
        15000ms);
    std::remove(shot.c_str());
    if (matched) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "window " << g.width << "x" << g.height << " at " << g.x << ","
                                         << g.y << ", largest difference " << difference;
}

}  // namespace

TEST_F(DisplayWindow, WindowShowsTheFramePixelForPixel) {
    if (!have_tool("xwd") || !have_tool("convert")) GTEST_SKIP() << "xwd or convert missing";
    start("vd_pixels");
    display->work();
    TestWindow window("vd_pixels");
    ASSERT_TRUE(window.find());
    EXPECT_TRUE(shows(window, test_pattern()));
}

// A canvas is drawn once, when it arrives, even the one taken on the cycle
// that creates the window; keys are served while nothing new comes, and a
// window opened again after a stop shows the last canvas.
TEST_F(DisplayWindow, EachCanvasIsDrawnOnceAndAReopenedWindowShowsTheLast) {
    if (!have_tool("xwd") || !have_tool("convert")) GTEST_SKIP() << "xwd or convert missing";
    auto source = std::make_shared<TestSource>("vd_canvases");
    display = std::make_shared<Display>(source, std::make_shared<Demo>());
    const cv::Mat first = test_pattern();
    cv::Mat second;
    cv::flip(first, second, -1);
    source->give(std::make_shared<cv::Mat>(first.clone()), 1);
    display->work();
    TestWindow window("vd_canvases");
    wait_ready(window);
    ASSERT_TRUE(shows(window, first));
    const int32_t cycles = display->get_display_count();
    ASSERT_TRUE(poll_until([&] { return display->get_display_count() > cycles + 10; }));
    EXPECT_EQ(display->get_show_count(), 1);

    source->give(std::make_shared<cv::Mat>(second.clone()), 1);
    EXPECT_TRUE(shows(window, second));
    EXPECT_EQ(display->get_show_count(), 2);

    display->stop();
    display->work();
    TestWindow reopened("vd_canvases");
    ASSERT_TRUE(reopened.find());
    EXPECT_TRUE(shows(reopened, second));
    EXPECT_EQ(display->get_show_count(), 3);
}

// An error on the display thread ends that thread, asks for the stop that
// Escape gives and is handed over to the main thread with its line.
TEST_F(DisplayWindow, AnErrorInAnActionIsHandedOverAndRequestsTheStop) {
    start("vd_error");
    std::atomic<int> stops{0};
    display->register_callback(27, [&] { stops.fetch_add(1); });
    display->register_callback(120, [] { throw std::runtime_error("action failed"); });
    display->work();
    TestWindow window("vd_error");
    wait_ready(window);
    window.keys("x");
    ASSERT_TRUE(poll_until([&] { return stops.load() == 1; }));
    EXPECT_TRUE(fatal_handed_over());
    display->stop();
    EXPECT_EQ(fatal::error_text([] { rethrow_handed_over_fatal(); }), "ERROR: Display: action failed\n");
    EXPECT_FALSE(fatal_handed_over());
}

#ifdef VD_TEST_HAS_X11
TEST_F(DisplayWindow, ClosingTheWindowRunsTheEscapeActionOnce) {
    start("vd_close");
    std::atomic<int> stops{0};
    display->register_callback(27, [&] { stops.fetch_add(1); });
    display->work();
    TestWindow window("vd_close");
    ASSERT_TRUE(window.find());
    // Shown for a few cycles first: only a window that was seen can be closed.
    const int32_t shown = display->get_display_count();
    ASSERT_TRUE(poll_until([&] { return display->get_display_count() > shown + 3; }));
    request_close(std::stoul(window.id));
    ASSERT_TRUE(poll_until([&] { return stops.load() >= 1; }));
    const int32_t after = display->get_display_count();
    ASSERT_TRUE(poll_until([&] { return display->get_display_count() > after + 5; }));
    EXPECT_EQ(stops.load(), 1);
    // It stays closed.
    EXPECT_EQ(shell("xdotool search --onlyvisible --name '^vd_close$' 2>/dev/null"), "");
}
#endif
