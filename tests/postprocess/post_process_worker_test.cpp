#include "postprocess/post_process_worker.hpp"
#include "pipeline/key_codes.hpp"
#include "tests/support/fatal.hpp"

#include "tests/postprocess/fake_link.hpp"
#include "tests/postprocess/support.hpp"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace {

// Output block with every byte -128 (nothing found); objects are written in
// with scale 1 and bias 0, so a byte q means q / 32.
struct Block {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(21125, 0x80);
    void set(int row, int col, int anchor, int k, int8_t q) {
        bytes[(anchor * 25 + k) * 169 + row * 13 + col] = static_cast<uint8_t>(q);
    }
    // An object in cell (row, col) with anchor 1, centred in the cell.
    void object(int row, int col, int cls) {
        set(row, col, 1, 4, 127);
        set(row, col, 1, 5 + cls, 127);
        for (int k = 0; k < 4; ++k) set(row, col, 1, k, 0);
    }
};

class Stage : public ::testing::Test {
protected:
    void make(DATA_FIT fit = DATA_FIT::STRETCH, bool ignore_duplicates = false) {
        demo = pp_test::make_demo(fit, ignore_duplicates);
        stage = std::make_shared<PostProcessWorker>("output", link, core, demo, post);
    }
    void put(const Block& block, uint64_t pingpong = 0) {
        link->blocks[static_cast<uint32_t>(core->address_output + pingpong * core->offset_pingpong)] = block.bytes;
    }
    // One cycle with a 416 x 416 frame of one colour.
    void cycle(uint64_t frame_id, double fps) {
        auto info = std::make_shared<ImageInfo>();
        info->height = info->width = info->region_height = info->region_width = 416;
        info->sequence = frame_id;
        stage->download(info, std::make_shared<cv::Mat>(416, 416, CV_8UC3, cv::Scalar(40, 40, 40)), frame_id, fps);
        stage->work();
    }
    bool grab() {
        std::shared_ptr<cv::Mat> frame;
        uint64_t id = 99;
        return stage->grab(frame, id);
    }

    pp_test::RunFolder folder;
    std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();
    std::shared_ptr<Core> core = pp_test::make_core();
    std::shared_ptr<PostProcessing> post = pp_test::make_post();
    std::shared_ptr<Demo> demo;
    std::shared_ptr<PostProcessWorker> stage;
};

}  // namespace

// A canvas handed out with another frame's number (or none) would put the
// wrong frame on the timeline's shown row.
TEST_F(Stage, GrabHandsOutEachCanvasOnceWithItsFramesNumber) {
    make();
    std::shared_ptr<cv::Mat> frame;
    uint64_t id = 99;
    // The blank frame is ready before any cycle.
    ASSERT_TRUE(stage->grab(frame, id));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(frame->size(), cv::Size(1280, 720));
    auto kept = frame;
    id = 99;
    EXPECT_FALSE(stage->grab(frame, id));
    EXPECT_EQ(frame, kept);
    EXPECT_EQ(id, 99u);

    cycle(17, 30.0);
    ASSERT_TRUE(stage->grab(frame, id));
    EXPECT_EQ(id, 17u);
    EXPECT_NE(frame, kept);
    EXPECT_EQ(frame.use_count(), 1);  // the stage keeps no reference

    // The idle screen: the same image each time.
    stage->idle();
    ASSERT_TRUE(stage->grab(frame, id));
    EXPECT_EQ(id, 0u);
    stage->idle();
    std::shared_ptr<cv::Mat> again;
    ASSERT_TRUE(stage->grab(again, id));
    EXPECT_EQ(frame, again);
    EXPECT_EQ(frame->at<cv::Vec3b>(0, 0), cv::Vec3b(255, 255, 255));

    std::string message = "old";
    EXPECT_TRUE(stage->okay(message));
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(stage->get_id(), "output");
    stage->wait_work_done();
}

TEST_F(Stage, DuplicateFramesAreSkippedOnlyWhenAsked) {
    make(DATA_FIT::STRETCH, true);
    put(Block());
    cycle(5, 30.0);
    EXPECT_TRUE(grab());
    cycle(5, 30.0);  // same id, same rate: nothing drawn
    EXPECT_FALSE(grab());
    cycle(5, 31.0);  // the rate changed
    EXPECT_TRUE(grab());
    cycle(6, 31.0);  // the id changed
    EXPECT_TRUE(grab());
    stage->reset();  // after a reset any frame is new
    cycle(6, 31.0);
    EXPECT_TRUE(grab());
    stage->idle();  // the idle screen sets the id to 0
    EXPECT_TRUE(grab());
    cycle(6, 31.0);
    EXPECT_TRUE(grab());

    make(DATA_FIT::STRETCH, false);
    cycle(5, 30.0);
    EXPECT_TRUE(grab());
    cycle(5, 30.0);
    EXPECT_TRUE(grab());
}

TEST_F(Stage, ReadsTheOutputOfItsBufferSetAndDrawsTheDetections) {
    make();
    Block block;
    block.object(6, 6, 11);  // dog, in the middle
    // Two overlapping objects of different classes in the next cell: the
    // weaker one goes (suppression ignores the class).
    block.object(2, 2, 3);
    block.object(2, 3, 14);
    block.set(2, 3, 1, 4, 100);
    block.set(2, 3, 1, 0, -128);  // centre towards the left neighbour
    put(block, 1);
    put(Block(), 0);
    stage->pingpong = 1;
    cycle(1, 25.0);
    ASSERT_EQ(link->stream_reads.size(), 1u);
    EXPECT_EQ(link->stream_reads[0].first, core->address_output + core->offset_pingpong);
    EXPECT_EQ(link->stream_reads[0].second, 5282u);
    EXPECT_EQ(stage->get_candidate_count(), 3u);
    ASSERT_EQ(stage->get_detection_count(), 2u);
    EXPECT_EQ(stage->get_detection_classes()[0], 3);
    EXPECT_EQ(stage->get_detection_classes()[1], 11);
    const BB dog = stage->get_detection_bbs()[1];
    EXPECT_NEAR((dog.left + dog.right) / 2 - 1, 208, 1e-3);
    EXPECT_GT(stage->get_detection_probs()[0], stage->get_detection_probs()[1] - 1e-6f);

    std::shared_ptr<cv::Mat> frame;
    uint64_t id;
    ASSERT_TRUE(stage->grab(frame, id));
    // 416 x 416 on the canvas: d = 720 / 416, left bar 280. The dog's box
    // (3.42 x 4.41 cells, 109.4 x 141.1 pixels around 208) has its left edge
    // at (208 - 54.72 + 1) * d + 280 - 1.
    const cv::Vec3b dog_colour = post->colours.at<cv::Vec3b>(0, 11);
    const int x = static_cast<int>((208 - 3.42f * 16 + 1) * (720.0f / 416) + 280 - 1);
    EXPECT_EQ(frame->at<cv::Vec3b>(360, x), dog_colour);
    EXPECT_EQ(frame->at<cv::Vec3b>(360, 100), cv::Vec3b(214, 214, 214));
    // The grabbed canvas's record holds the boxes drawn on it, once.
    const auto record = stage->take_grabbed_record();
    ASSERT_TRUE(record);
    ASSERT_EQ(record->detections.size(), 2u);
    EXPECT_EQ(record->detections[1].class_name, "dog");
    EXPECT_EQ(static_cast<int>(record->detections[1].canvas_box.left), x);
    EXPECT_FLOAT_EQ(record->detections[1].source_box.left, dog.left);
    EXPECT_FALSE(stage->take_grabbed_record());

    // Buffer set 0 holds nothing: only the overlay.
    stage->pingpong = 0;
    cycle(2, 25.0);
    EXPECT_EQ(stage->get_candidate_count(), 0u);
    EXPECT_EQ(stage->get_detection_count(), 0u);
}

TEST_F(Stage, OverlayIsDrawnWithoutDetections) {
    make();
    put(Block());
    stage->increase_threshold_probability();  // 27.5 % -> 30.0 %
    cycle(1, 29.5);
    std::shared_ptr<cv::Mat> frame;
    uint64_t id;
    ASSERT_TRUE(stage->grab(frame, id));

    // The same canvas drawn by hand: frame, rate 30, logos, thresholds.
    cv::Mat expected(720, 1280, CV_8UC3, cv::Scalar(214, 214, 214));
    expected(cv::Rect(280, 0, 720, 720)).setTo(cv::Scalar(40, 40, 40));
    const cv::Scalar black(0, 0, 0), white(255, 255, 255);
    cv::putText(expected, "30", cv::Point(1130, 670), cv::FONT_HERSHEY_SIMPLEX, 3.0, black, 10);
    cv::putText(expected, "30", cv::Point(1130, 670), cv::FONT_HERSHEY_SIMPLEX, 3.0, white, 4);
    cv::putText(expected, "FPS", cv::Point(1130, 595), cv::FONT_HERSHEY_SIMPLEX, 1.5, black, 7);
    cv::putText(expected, "FPS", cv::Point(1130, 595), cv::FONT_HERSHEY_SIMPLEX, 1.5, white, 2);
    cv::putText(expected, "30.0 %", cv::Point(1220, 20), cv::FONT_HERSHEY_SIMPLEX, 0.5, white, 1);
    cv::putText(expected, "57.5 %", cv::Point(1220, 40), cv::FONT_HERSHEY_SIMPLEX, 0.5, white, 1);
    // Left logo: 240 x 120 at (30, 570), red where the eroded, scaled alpha
    // is set; right logo: 240 x 120 at (240, 570), green inside its band.
    const cv::Mat compared = *frame;
    cv::Mat difference;
    cv::absdiff(compared, expected, difference);
    cv::Mat mask_outside_logos(720, 1280, CV_8UC1, cv::Scalar(255));
    mask_outside_logos(cv::Rect(30, 570, 450, 120)).setTo(0);
    EXPECT_EQ(cv::norm(difference, cv::NORM_INF, mask_outside_logos), 0.0);
    EXPECT_EQ(frame->at<cv::Vec3b>(630, 60), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(frame->at<cv::Vec3b>(630, 350), cv::Vec3b(0, 255, 0));
    // Transparent parts of both logos show what lies below.
    EXPECT_EQ(frame->at<cv::Vec3b>(575, 200), cv::Vec3b(214, 214, 214));
    EXPECT_EQ(frame->at<cv::Vec3b>(630, 250), cv::Vec3b(214, 214, 214));
    EXPECT_EQ(frame->at<cv::Vec3b>(685, 400), cv::Vec3b(40, 40, 40));

    // Key h shows the health panel at the top left on the next canvas, even
    // of the same frame with duplicates skipped; h again takes it away.
    demo->ignore_duplicate_frames = true;
    const cv::Rect panel(10, 10, 330, 130);
    for (const bool shown : {true, false}) {
        stage->get_callbacks().at(KEY_H)();
        cycle(1, 29.5);
        ASSERT_TRUE(stage->grab(frame, id));
        cv::absdiff(*frame, expected, difference);
        EXPECT_EQ(cv::norm(difference(panel), cv::NORM_INF) > 0, shown);
        EXPECT_EQ(cv::norm(difference, cv::NORM_INF, mask_outside_logos) > 0, shown);
    }
}

TEST_F(Stage, ThresholdsStepByAFortiethAndStopAtExactlyZeroAndOne) {
    make();
    CallbackMap keys = stage->get_callbacks();
    ASSERT_EQ(keys.size(), 5u);
    for (int code : {113, 119, 97, 115, 104}) ASSERT_EQ(keys.count(code), 1u) << code;

    for (int press = 1; press <= 11; ++press) {
        keys[113]();
        if (press == 10) {
            EXPECT_GT(post->threshold_probability.load(), 0.0f);
            EXPECT_LT(post->threshold_probability.load(), 0.025f);
        }
    }
    EXPECT_EQ(post->threshold_probability.load(), 0.0f);
    keys[113]();
    EXPECT_EQ(post->threshold_probability.load(), 0.0f);

    post->threshold_probability = 0.275f;
    for (int press = 1; press <= 30; ++press) {
        keys[119]();
        if (press == 29) {
            EXPECT_LT(post->threshold_probability.load(), 1.0f);
        }
    }
    EXPECT_EQ(post->threshold_probability.load(), 1.0f);
    keys[119]();
    EXPECT_EQ(post->threshold_probability.load(), 1.0f);

    // The overlap keys move only the overlap threshold.
    keys[115]();
    EXPECT_NEAR(post->threshold_overlap.load(), 0.6f, 1e-6f);
    keys[97]();
    keys[97]();
    EXPECT_NEAR(post->threshold_overlap.load(), 0.55f, 1e-6f);
    EXPECT_EQ(post->threshold_probability.load(), 1.0f);
}

TEST_F(Stage, ThresholdKeysFromAnotherThreadWhileFramesAreProcessed) {
    make();
    put(Block());
    CallbackMap keys = stage->get_callbacks();
    std::thread display([&] {
        for (int i = 0; i < 200; ++i) {
            keys[i % 2 ? 119 : 113]();
            keys[i % 2 ? 115 : 97]();
            grab();
        }
    });
    for (uint64_t id = 0; id < 20; ++id) cycle(id, 30.0);
    display.join();
    EXPECT_NEAR(post->threshold_probability.load(), 0.275f, 1e-6f);
    EXPECT_NEAR(post->threshold_overlap.load(), 0.575f, 1e-6f);
}

// Canvases are drawn off to the side and swapped in under the lock: the
// display, grabbing all the while, only ever gets finished canvases, and a
// canvas it holds is never drawn on again.
TEST_F(Stage, DisplayOnlyEverGetsFinishedCanvasesThatStayAsTheyWere) {
    make();
    Block block;
    block.object(6, 6, 11);
    put(block);
    cycle(1, 30.0);
    std::shared_ptr<cv::Mat> reference;
    uint64_t id;
    ASSERT_TRUE(stage->grab(reference, id));

    std::atomic<bool> drawing{true};
    std::vector<std::shared_ptr<cv::Mat>> shown;
    std::vector<bool> whole_when_shown;
    std::thread display([&] {
        std::shared_ptr<cv::Mat> canvas;
        uint64_t canvas_id;
        while (drawing.load()) {
            if (!stage->grab(canvas, canvas_id)) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            whole_when_shown.push_back(cv::norm(*canvas, *reference, cv::NORM_INF) == 0.0);
            shown.push_back(canvas);
        }
    });
    // The same frame each time: every finished canvas equals the first.
    for (uint64_t n = 2; n < 60; ++n) cycle(n, 30.0);
    drawing = false;
    display.join();

    ASSERT_FALSE(shown.empty());
    for (size_t k = 0; k < shown.size(); ++k) {
        EXPECT_TRUE(whole_when_shown[k]) << "canvas " << k << " was taken half-drawn";
        EXPECT_EQ(cv::norm(*shown[k], *reference, cv::NORM_INF), 0.0) << "canvas " << k << " was drawn on later";
    }
}

TEST_F(Stage, ReadTimeOutBecomesAResetWithTheLinksMessage) {
    make();
    link->fail_reads = true;
    auto info = std::make_shared<ImageInfo>();
    try {
        stage->download(info, std::make_shared<cv::Mat>(4, 4, CV_8UC3), 3, 30.0);
        FAIL() << "no exception";
    } catch (const exception_reset& e) {
        EXPECT_STREQ(e.what(),
                     "exception_reset in post_processing node @download: "
                     "udp_read_ddr: Exceeded maximum number of retries");
    }
    // Other errors pass through unchanged.
    struct Other : FakeLink {
        int udp_read_stream_ddr(uint32_t*, uint32_t, uint32_t) override { throw exception_writeerror("boom"); }
    };
    auto other = std::make_shared<Other>();
    PostProcessWorker second("output", other, core, demo, post);
    EXPECT_THROW(second.download(), exception_writeerror);
}

TEST_F(Stage, ProgramEndsWithoutFrameGeometryOrLogos) {
    make();
    put(Block());
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] {
            stage->download(nullptr, std::make_shared<cv::Mat>(4, 4, CV_8UC3), 1, 1.0);
            stage->work();
        }),
                "^Invalid Image Info\n"));
    std::filesystem::remove(folder.root + "/data/pyr_logo.png");
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { PostProcessWorker("output", link, core, demo, post); }),
                "^ERROR: Could not load logos\n"));
}
