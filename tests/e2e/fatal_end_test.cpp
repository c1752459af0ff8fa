// Ends with status 1 while the window is open: whatever thread finds the
// fault, the program stops its threads, writes the lines and exits 1, never
// by a signal. Each case runs several times, since a thread left running at
// exit fails only now and then.
#include "e2e_harness.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace e2e;

namespace {

const std::vector<std::string> INVALID_IMAGE_LINES{"ERROR: Invalid image received", "\t image height:0",
                                                   "\t image width: 0"};

// The last `count` lines of `lines`.
std::vector<std::string> last_lines(const std::vector<std::string>& lines, size_t count) {
    if (lines.size() < count) return lines;
    return {lines.end() - static_cast<std::ptrdiff_t>(count), lines.end()};
}

class FatalEnd : public DemoTest {};

}  // namespace

// The folder holds a good image and, after it in name order, a file named
// like an image that does not decode: the upload thread finds the empty
// image once the source has moved on to it.
TEST_F(FatalEnd, AnUndecodableImageEndsTheProgramWithItsLines) {
    fs::copy_file(repository_scenes() / "scene_01_1280x720.png", box.root / "data" / "scenes" / "1.png");
    write_file(box.root / "data" / "scenes" / "2.png", "not an image\n");
    Settings settings;
    settings.displaytime_image = 2000;
    start_emulator(settings);
    for (int run = 0; run < 4; ++run) {
        const bool serial = run % 2 == 1;
        SCOPED_TRACE(std::string(serial ? "visiondemo_serial" : "visiondemo") + " run " + std::to_string(run));
        demo = start_demo(box, serial, x->display, "demo" + std::to_string(run));
        Window window(*x, demo->id());
        EXPECT_TRUE(window.find());
        const auto status = demo->wait_exit(30s);
        EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
        EXPECT_EQ(last_lines(demo->err_lines(), 3), INVALID_IMAGE_LINES);
        EXPECT_GE(frame_lines(demo->out_lines()), 1u);
    }
}
