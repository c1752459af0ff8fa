// The show in a web browser: a real headless Chromium opens the page of a
// running demonstrator and shows the window's canvas; a watched stream ends
// cleanly, with the port closed, on Escape and on SIGTERM.
#include "e2e_harness.hpp"
#include "canvas_check.hpp"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// Runs the program found on the PATH under argv[0], without a display.
std::unique_ptr<Process> run_tool(const Sandbox& box, const std::string& name, std::vector<std::string> argv) {
    std::string path = shell("sh -c 'command -v " + argv[0] + "'");
    argv[0] = path.substr(0, path.find('\n'));
    Process::Options options;
    options.argv = std::move(argv);
    options.cwd = box.run();
    options.out = box.run() / (name + ".out");
    options.err = box.run() / (name + ".err");
    options.env = {"DISPLAY"};
    return std::make_unique<Process>(options);
}

// The port the demonstrator printed under "INFO: Stream server"; 0 when none.
int stream_port(Process& demo) {
    const std::regex address(R"(\tAddress:\thttp://127\.0\.0\.1:(\d+)/)");
    int port = 0;
    demo.wait_out(
        [&](const std::vector<std::string>& lines) {
            std::smatch m;
            for (const auto& line : lines)
                if (std::regex_match(line, m, address)) port = std::stoi(m[1]);
            return port > 0;
        },
        30s);
    return port;
}

}  // namespace

// Catches a page that does not show the live canvas (a broken stream, a page
// needing outside resources, a stale or garbled picture), figures without the
// health counters or detections other than the shown frame's record, and a stop that
// leaves a stream open, cuts it off without its closing boundary, or leaves
// the port open.
TEST_F(DemoTest, BrowserShowsTheCanvasAndStreamsEndOnEscapeAndSigterm) {
    if (!have_tool("chromium") || !have_tool("curl")) GTEST_SKIP() << "chromium or curl is not installed";
    box.add_scenes({"scene_01_1280x720.png"});
    Settings settings;
    settings.displaytime_image = 600000;
    for (const bool by_escape : {true, false}) {
        SCOPED_TRACE(by_escape ? "Escape" : "SIGTERM");
        start_emulator(settings);
        demo = start_demo(box, false, x->display, by_escape ? "demo" : "demo2", {"--stream", "127.0.0.1:0"});
        const int port = stream_port(*demo);
        ASSERT_GT(port, 0) << "no stream address printed";
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
        Window window(*x, demo->id());
        ASSERT_TRUE(running(window));

        if (by_escape) {
            // The page's top left 1280 x 720 pixels are the window's within
            // what JPEG changes: a little everywhere, more only where the
            // frame-rate text differs between the two moments.
            const fs::path file = box.run() / "browser.png";
            auto chromium = run_tool(
                box, "chromium",
                {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + (box.root / "chromium").string(), "--window-size=1280,900",
                 "--force-device-scale-factor=1", "--hide-scrollbars", "--timeout=6000",
                 "--screenshot=" + file.string(), url});
            const auto status = chromium->wait_exit(90s);
            const cv::Mat shown = window.screenshot(box.run() / "window.png");
            ASSERT_TRUE(exited_with(status, 0)) << describe_status(status) << "\n" << tail(chromium->err());
            const cv::Mat page = cv::imread(file.string(), cv::IMREAD_COLOR);
            ASSERT_EQ(shown.size(), cv::Size(CANVAS_WIDTH, CANVAS_HEIGHT));
            ASSERT_TRUE(page.cols >= CANVAS_WIDTH && page.rows >= CANVAS_HEIGHT) << page.size();
            cv::Mat difference, grey;
            cv::absdiff(page(cv::Rect(0, 0, CANVAS_WIDTH, CANVAS_HEIGHT)), shown, difference);
            cv::cvtColor(difference, grey, cv::COLOR_BGR2GRAY);
            EXPECT_LT(cv::mean(grey)[0], 4.0);
            EXPECT_LT(cv::countNonZero(grey > 40), static_cast<int>(grey.total() / 100));
        }

        if (!by_escape) {
            // The figures carry the session's health counters, and the
            // detections are the shown frame's record, as the file writes it.
            const auto fetch = [&](const std::string& path) {
                const fs::path got = box.run() / "got.json";
                auto get = run_tool(box, "curl_json", {"curl", "-sS", "-o", got.string(), url + path});
                return exited_with(get->wait_exit(10s), 0) ? read_file(got) : std::string();
            };
            std::string record;
            const auto has_boxes = [&] {
                record = fetch("detections.json");
                return record.find("\"detections\":[{") != std::string::npos;
            };
            EXPECT_TRUE(poll_until(has_boxes, 20s)) << record;
            EXPECT_NE(record.find("\"image\":\"scene_01_1280x720.png\""), std::string::npos) << record;
            const std::string stats = fetch("stats.json");
            EXPECT_NE(stats.find("\"reply_timeouts\":0"), std::string::npos) << stats;
            EXPECT_NE(stats.find("\"canvases_shown\":"), std::string::npos) << stats;
        }

        const fs::path stream = box.run() / (by_escape ? "stream.mjpg" : "stream2.mjpg");
        auto reader = run_tool(box, "curl", {"curl", "-sS", "-N", "-o", stream.string(), url + "stream.mjpg"});
        ASSERT_TRUE(poll_until([&] { return read_file(stream).size() > 10000; }, 20s));
        if (by_escape) {
            ASSERT_TRUE(press_until_line(window, "Escape", "CALLBACK STOP"));
        } else {
            demo->signal(SIGTERM);
        }
        const auto read_status = reader->wait_exit(10s);
        EXPECT_TRUE(exited_with(read_status, 0)) << describe_status(read_status) << " " << reader->err();
        const std::string received = read_file(stream);
        EXPECT_NE(received.find("Content-Type: image/jpeg"), std::string::npos);
        EXPECT_EQ(received.substr(std::max<size_t>(received.size(), 11) - 11), "--frame--\r\n") << "no closing boundary";
        const auto status = demo->wait_exit(20s);
        EXPECT_TRUE(exited_with(status, 0)) << describe_status(status);
        auto late = run_tool(box, "curl_late", {"curl", "-sS", url});
        EXPECT_FALSE(exited_with(late->wait_exit(10s), 0)) << "the port is still open";
    }
}
