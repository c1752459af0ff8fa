#include "pipeline/frame_fit.hpp"
#include "pipeline/input_planes.hpp"
#include "pipeline/upload_worker.hpp"
#include "tests/support/fatal.hpp"

#include "platform/fatal_error.hpp"
#include "tests/support/test_source.hpp"
#include "tests/support/null_link.hpp"
#include "tests/support/poll.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <deque>
#include <tuple>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int SIDE = 416;
constexpr uint32_t PLANE_BYTES = SIDE * SIDE;

// A link that records the unacknowledged DDR writes and can fail them.
class FrameWriteLink : public NullLink {
public:
    struct Write {
        uint32_t address;
        uint32_t word_count;
        std::vector<uint8_t> bytes;
    };
    std::vector<Write> writes;
    // The kernel's id of the thread of each write (unlike std::thread::id
    // not reused at once by the next thread).
    std::vector<long> writers;
    bool fail_writes = false;

    void udp_write_ddr(const uint32_t* data, uint32_t address, uint32_t word_count) override {
        writers.push_back(::syscall(SYS_gettid));
        if (fail_writes) throw exception_writeerror();
        const auto* bytes = reinterpret_cast<const uint8_t*>(data);
        writes.push_back({address, word_count, std::vector<uint8_t>(bytes, bytes + 4 * size_t{word_count})});
    }
};

// A source whose image cannot be used: its grab raises the fatal error.
class FatalSource : public TestSource {
public:
    bool grab(std::shared_ptr<cv::Mat>&, uint64_t&) override {
        throw exception_fatal({"ERROR: Invalid image received", "\t image height:0"});
    }
};

// Hands out the frames queued in it, one per grab, in order, and counts the
// grabs.
class QueueSource : public NullSource {
public:
    void queue(cv::Mat frame, uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        frames.emplace_back(std::make_shared<cv::Mat>(std::move(frame)), id);
    }
    bool grab(std::shared_ptr<cv::Mat>& out, uint64_t& out_id) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++grab_count;
        if (frames.empty()) return false;
        std::tie(out, out_id) = frames.front();
        frames.pop_front();
        return true;
    }
    uint64_t grabs() {
        std::lock_guard<std::mutex> lock(mutex);
        return grab_count;
    }

private:
    std::mutex mutex;
    uint64_t grab_count = 0;
    std::deque<std::pair<std::shared_ptr<cv::Mat>, uint64_t>> frames;
};

size_t threads_of_this_process() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

ImageInfo fit_info(int cols, int rows, DATA_FIT fit, cv::Mat* fitted = nullptr) {
    ImageInfo info;
    cv::Mat result = fit_frame(cv::Mat(rows, cols, CV_8UC3, cv::Scalar(10, 20, 30)), fit, SIDE, SIDE, info);
    EXPECT_EQ(result.rows, SIDE);
    EXPECT_EQ(result.cols, SIDE);
    if (fitted) *fitted = result;
    return info;
}

void expect_info(const ImageInfo& info, std::array<int32_t, 6> expected) {
    EXPECT_EQ((std::array<int32_t, 6>{info.height, info.width, info.offset_x, info.offset_y, info.region_height,
                                       info.region_width}),
              expected);
}

// Rows of `image` (three channels) that hold exactly `value` in every sample.
std::vector<int> rows_equal_to(const cv::Mat& image, uint8_t value) {
    std::vector<int> rows;
    for (int y = 0; y < image.rows; ++y) {
        cv::Mat diff;
        cv::absdiff(image.row(y), cv::Scalar::all(value), diff);
        if (cv::countNonZero(diff.reshape(1)) == 0) rows.push_back(y);
    }
    return rows;
}

}  // namespace

TEST(FitFrame, LandscapeFrameUnderEachFit) {
    expect_info(fit_info(640, 480, DATA_FIT::STRETCH), {480, 640, 0, 0, 480, 640});
    expect_info(fit_info(640, 480, DATA_FIT::CROP), {480, 640, 69, 0, 480, 480});
    cv::Mat boxed;
    expect_info(fit_info(640, 480, DATA_FIT::BOX, &boxed), {480, 640, 0, -52, 640, 640});
    // 52 padding rows above and below the 312 scaled rows.
    std::vector<int> padding = rows_equal_to(boxed, 128);
    ASSERT_EQ(padding.size(), 104u);
    EXPECT_EQ(padding[51], 51);
    EXPECT_EQ(padding[52], 364);
    EXPECT_EQ(padding.back(), 415);
}

TEST(FitFrame, PortraitAndSquareFrames) {
    expect_info(fit_info(480, 640, DATA_FIT::STRETCH), {640, 480, 0, 0, 640, 480});
    expect_info(fit_info(480, 640, DATA_FIT::CROP), {640, 480, 0, 69, 480, 480});
    cv::Mat boxed;
    expect_info(fit_info(480, 640, DATA_FIT::BOX, &boxed), {640, 480, -52, 0, 640, 640});
    // Portrait box pads columns, not rows: column 0 and 415 padding, 52 and 363 image.
    EXPECT_EQ(boxed.at<cv::Vec3b>(200, 51), cv::Vec3b(128, 128, 128));
    EXPECT_EQ(boxed.at<cv::Vec3b>(200, 52), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(boxed.at<cv::Vec3b>(200, 363), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(boxed.at<cv::Vec3b>(200, 364), cv::Vec3b(128, 128, 128));

    for (DATA_FIT fit : {DATA_FIT::STRETCH, DATA_FIT::CROP, DATA_FIT::BOX}) {
        expect_info(fit_info(500, 500, fit), {500, 500, 0, 0, 500, 500});
    }
}

TEST(FitFrame, OddBoxDifferencePutsTheExtraPaddingRowBelow) {
    // 419 x 416 scales to 416 x 413: three rows of padding, one above, two below.
    cv::Mat boxed;
    expect_info(fit_info(419, 416, DATA_FIT::BOX, &boxed), {416, 419, 0, -1, 419, 419});
    EXPECT_EQ(rows_equal_to(boxed, 128), (std::vector<int>{0, 414, 415}));
    EXPECT_EQ(boxed.at<cv::Vec3b>(1, 0), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(boxed.at<cv::Vec3b>(413, 415), cv::Vec3b(10, 20, 30));
}

TEST(FitFrame, CropIsTheCentredWindowOfTheScaledFrame) {
    const cv::Mat frame = random_frame(480, 640, 3);
    ImageInfo info;
    cv::Mat fitted = fit_frame(frame, DATA_FIT::CROP, SIDE, SIDE, info);
    cv::Mat scaled;
    cv::resize(frame, scaled, cv::Size(555, 416), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(fitted, scaled(cv::Rect(69, 0, SIDE, SIDE)), cv::NORM_INF), 0.0);
}

TEST(FitFrame, ExtremeAspectRatioStillBoxes) {
    // A one-pixel-high strip: the box keeps a single scaled row instead of none.
    ImageInfo info;
    cv::Mat fitted = fit_frame(cv::Mat(1, 2000, CV_8UC3, cv::Scalar::all(200)), DATA_FIT::BOX, SIDE, SIDE, info);
    EXPECT_EQ(fitted.size(), cv::Size(SIDE, SIDE));
    EXPECT_EQ(rows_equal_to(fitted, 200), (std::vector<int>{207}));
    EXPECT_EQ(info.offset_y, -207);
}

TEST(FitFrame, UnsupportedFitEndsTheProgram) {
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { fit_info(640, 480, DATA_FIT::NONE); }),
                "^Unsupported data fit selected\n$"));
}

TEST(Quantise, HalvesWithTiesToEvenLikeConvertTo) {
    // Every sample value in every channel position, over widths with and
    // without a remainder after whole vector blocks, and a view with a row gap.
    cv::Mat all(3, 256, CV_8UC3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 256; ++x) all.at<cv::Vec3b>(y, x) = cv::Vec3b(x, (x + 85 * y) % 256, 255 - x);
    for (const cv::Mat& image : {all, cv::Mat(all.colRange(3, 250)), cv::Mat(random_frame(37, 61, 5)(cv::Rect(2, 3, 45, 31)))}) {
        std::vector<cv::Mat> planes = quantise_and_split(image, 1);
        cv::Mat reference;
        image.convertTo(reference, -1, 0.5, 0.0);
        std::vector<cv::Mat> reference_planes;
        cv::split(reference, reference_planes);
        ASSERT_EQ(planes.size(), 3u);
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(planes[k].isContinuous());
            EXPECT_EQ(planes[k].size(), image.size());
            EXPECT_EQ(cv::norm(planes[k], reference_planes[k], cv::NORM_INF), 0.0) << "plane " << k;
        }
    }

    cv::Mat samples(1, 4, CV_8UC3);
    const uint8_t values[4] = {255, 254, 3, 1};
    for (int x = 0; x < 4; ++x) samples.at<cv::Vec3b>(0, x) = cv::Vec3b::all(values[x]);
    std::vector<cv::Mat> halved = quantise_and_split(samples, 1);
    for (const cv::Mat& plane : halved) {
        EXPECT_EQ(std::vector<uint8_t>(plane.begin<uint8_t>(), plane.end<uint8_t>()),
                  (std::vector<uint8_t>{128, 127, 2, 0}));
    }
}

TEST(Quantise, OtherFractionBitsAndChannelCounts) {
    const cv::Mat frame = random_frame(19, 23, 9);
    cv::Mat reference;
    frame.convertTo(reference, -1, 0.25, 0.0);
    std::vector<cv::Mat> reference_planes;
    cv::split(reference, reference_planes);
    std::vector<cv::Mat> planes = quantise_and_split(frame, 2);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(cv::norm(planes[k], reference_planes[k], cv::NORM_INF), 0.0);

    // No fraction bits: the samples pass unchanged.
    planes = quantise_and_split(frame, 0);
    std::vector<cv::Mat> unchanged;
    cv::split(frame, unchanged);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(cv::norm(planes[k], unchanged[k], cv::NORM_INF), 0.0);

    // A four-channel image gives four planes.
    cv::Mat bgra(5, 7, CV_8UC4, cv::Scalar(255, 3, 1, 254));
    planes = quantise_and_split(bgra, 1);
    ASSERT_EQ(planes.size(), 4u);
    EXPECT_EQ(planes[0].at<uint8_t>(4, 6), 128);
    EXPECT_EQ(planes[3].at<uint8_t>(0, 0), 127);
}

// Every case runs with the next frame never and always prepared ahead: what
// the stage writes, and where, must not depend on it.
class UploadWorkerTest : public testing::TestWithParam<UploadWorker::LookAhead> {
protected:
    void SetUp() override {
        worker->look_ahead = GetParam();
        core->input_fraction_bits = 1;
        core->address_data = 0x01000000;
        core->offset_pingpong = 0x00800000;
        demo->data_fit = DATA_FIT::BOX;
    }
    // One whole cycle through the work thread; returns the number of writes.
    size_t cycle(uint64_t pingpong) {
        const size_t before = link->writes.size();
        worker->pingpong = pingpong;
        worker->work();
        worker->wait_work_done();
        return link->writes.size() - before;
    }

    std::shared_ptr<TestSource> source = std::make_shared<TestSource>();
    std::shared_ptr<FrameWriteLink> link = std::make_shared<FrameWriteLink>();
    std::shared_ptr<Core> core = std::make_shared<Core>();
    std::shared_ptr<Demo> demo = std::make_shared<Demo>();
    std::shared_ptr<UploadWorker> worker = std::make_shared<UploadWorker>(source, link, core, demo);
};

TEST_P(UploadWorkerTest, WritesEachPlaneAtItsAddressInBothBuffers) {
    auto frame = std::make_shared<cv::Mat>(random_frame(480, 640, 1));
    source->give(frame, 41);
    ASSERT_EQ(cycle(0), 3u);
    EXPECT_EQ(worker->get_frame(), frame);
    EXPECT_EQ(worker->get_frame_id(), 41u);
    expect_info(*worker->get_image_info(), {480, 640, 0, -52, 640, 640});

    const auto planes = worker->get_planes();
    for (uint32_t k = 0; k < 3; ++k) {
        const auto& write = link->writes[k];
        EXPECT_EQ(write.address, 0x01000000 + k * PLANE_BYTES);
        EXPECT_EQ(write.word_count, PLANE_BYTES / 4);
        const cv::Mat& plane = (*planes)[k];
        ASSERT_EQ(write.bytes.size(), plane.total());
        EXPECT_EQ(std::memcmp(write.bytes.data(), plane.data, plane.total()), 0);
        // The box padding, 128 before halving, is 64 in every plane.
        EXPECT_EQ(write.bytes[0], 64);
        EXPECT_EQ(write.bytes[PLANE_BYTES - 1], 64);
    }

    source->give(frame, 42);
    ASSERT_EQ(cycle(1), 3u);
    for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(link->writes[3 + k].address, 0x01800000 + k * PLANE_BYTES);
}

TEST_P(UploadWorkerTest, AddressesWrapAt32Bits) {
    core->address_data = 0xFFFF0000;
    core->offset_pingpong = 0x100000000;  // a whole 2^32: the second buffer lands on the first
    source->give(std::make_shared<cv::Mat>(random_frame(48, 64, 2)), 1);
    ASSERT_EQ(cycle(1), 3u);
    EXPECT_EQ(link->writes[0].address, 0xFFFF0000u);
    EXPECT_EQ(link->writes[1].address, uint32_t(0xFFFF0000u + PLANE_BYTES));
    EXPECT_EQ(link->writes[2].address, uint32_t(0xFFFF0000u + 2 * PLANE_BYTES));
}

TEST_P(UploadWorkerTest, DuplicateFramesGoOnceIntoEachBuffer) {
    demo->ignore_duplicate_frames = true;
    source->give(std::make_shared<cv::Mat>(random_frame(48, 64, 2)), 7);
    EXPECT_EQ(cycle(0), 3u);
    const auto planes = worker->get_planes();
    EXPECT_EQ(cycle(1), 3u);
    EXPECT_EQ(cycle(0), 0u);
    EXPECT_EQ(cycle(1), 0u);
    // Nothing new was prepared either.
    EXPECT_EQ(worker->get_planes(), planes);
    EXPECT_EQ(worker->get_frame_id(), 7u);

    // A board reset empties the buffers: the same frame goes in again, once.
    worker->reset();
    EXPECT_EQ(cycle(0), 3u);
    EXPECT_EQ(cycle(1), 3u);
    EXPECT_EQ(cycle(0), 0u);
    // upload() on its own follows the same rule.
    worker->reset();
    worker->upload();
    EXPECT_EQ(link->writes.size(), 15u);
    worker->upload();
    EXPECT_EQ(link->writes.size(), 15u);

    // A new frame goes into each buffer again.
    source->give(std::make_shared<cv::Mat>(random_frame(48, 64, 3)), 8);
    EXPECT_EQ(cycle(0), 3u);
    EXPECT_EQ(cycle(1), 3u);
    EXPECT_EQ(worker->get_frame_id(), 8u);
}

TEST_P(UploadWorkerTest, WithoutTheDuplicateRuleEveryCycleWrites) {
    auto frame = std::make_shared<cv::Mat>(random_frame(48, 64, 2));
    source->give(frame, 7);
    EXPECT_EQ(cycle(0), 3u);
    const auto info = worker->get_image_info();
    EXPECT_EQ(cycle(0), 3u);
    EXPECT_EQ(cycle(0), 3u);
    // The kept frame is fitted again, with a fresh geometry record.
    EXPECT_EQ(worker->get_frame(), frame);
    EXPECT_NE(worker->get_image_info(), info);
    expect_info(*worker->get_image_info(), {48, 64, 0, -52, 64, 64});
}

TEST_P(UploadWorkerTest, AnErrorOnTheWorkThreadArrivesAtWaitWorkDone) {
    source->give(std::make_shared<cv::Mat>(random_frame(48, 64, 2)), 1);
    link->fail_writes = true;
    worker->work();
    EXPECT_THROW(worker->wait_work_done(), exception_writeerror);
    // Reported once; the stage keeps working afterwards.
    EXPECT_NO_THROW(worker->wait_work_done());
    link->fail_writes = false;
    EXPECT_EQ(cycle(0), 3u);
}

TEST_P(UploadWorkerTest, AFatalErrorInACycleArrivesWithItsLinesEvenAfterASkippedWait) {
    worker = std::make_shared<UploadWorker>(std::make_shared<FatalSource>(), link, core, demo);
    worker->work();
    // The next cycle waits for the first and keeps its error.
    worker->work();
    try {
        worker->wait_work_done();
        FAIL() << "no exception_fatal";
    } catch (const exception_fatal& error) {
        EXPECT_EQ(error.lines(), (std::vector<std::string>{"ERROR: Invalid image received", "\t image height:0"}));
    }
    EXPECT_NO_THROW(worker->wait_work_done());
}

// A long show must not start a thread per frame (each would leave the imaging
// library's per-thread storage behind), and the stage made at every restart
// must take its thread with it.
TEST_P(UploadWorkerTest, OneThreadServesEveryCycleAndEndsWithTheStage) {
    for (uint64_t n = 0; n < 4; ++n) {
        source->give(std::make_shared<cv::Mat>(random_frame(480, 640, int(n))), n);
        ASSERT_EQ(cycle(n % 2), 3u);
    }
    ASSERT_EQ(link->writers.size(), 12u);
    for (const auto& writer : link->writers) EXPECT_EQ(writer, link->writers.front());
    EXPECT_NE(link->writers.front(), ::syscall(SYS_gettid));

    worker.reset();
    const size_t threads = threads_of_this_process();
    for (int restart = 0; restart < 8; ++restart) {
        worker = std::make_shared<UploadWorker>(source, link, core, demo);
        worker->look_ahead = GetParam();
        source->give(std::make_shared<cv::Mat>(random_frame(480, 640, restart)), 10 + restart);
        const size_t writes = link->writes.size();
        ASSERT_EQ(cycle(0), 3u);
        worker->work();
        // Every other stage goes with its cycle still in flight (which may be
        // waiting for the frame prepared ahead); it is finished.
        if (restart % 2 == 0) worker->wait_work_done();
        worker.reset();
        EXPECT_EQ(link->writes.size(), writes + 6) << restart;
        EXPECT_TRUE(poll_until([&] { return threads_of_this_process() == threads; })) << restart;
    }
}

// The fatal ends are raised on the cycle's thread and reach the caller at
// wait_work_done. A source that never delivered is told apart from one that
// delivered an empty image (a file that does not decode, a failed camera read).
TEST_P(UploadWorkerTest, SourceWithoutAFrameEndsTheProgram) {
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { cycle(0); }),
                "^ERROR: Failed to grab frame\n\t source:test source\n$"));
    demo->ignore_duplicate_frames = true;
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { cycle(0); }),
                "^ERROR: Failed to grab frame\n"));
}

TEST_P(UploadWorkerTest, EmptyOrZeroSizedFrameEndsTheProgramAsAnInvalidImage) {
    source->give(std::make_shared<cv::Mat>(0, 640, CV_8UC3), 1);
    EXPECT_EQ(fatal::error_text([&] { cycle(0); }),
              "ERROR: Invalid image received\n\t image height:0\n\t image width: 640\n");
    source->give(std::make_shared<cv::Mat>(), 2);
    EXPECT_EQ(fatal::error_text([&] { cycle(0); }),
              "ERROR: Invalid image received\n\t image height:0\n\t image width: 0\n");
}

INSTANTIATE_TEST_SUITE_P(LookAhead, UploadWorkerTest,
                         testing::Values(UploadWorker::LookAhead::never, UploadWorker::LookAhead::always),
                         [](const testing::TestParamInfo<UploadWorker::LookAhead>& info) {
                             return info.param == UploadWorker::LookAhead::never ? "Never" : "Always";
                         });

// The frame prepared beside an upload is the next cycle's unless the source
// has a newer one by then: no frame goes in twice or out of grab order, none
// is stale, and an error met ahead is the next cycle's, not lost.
TEST(UploadLookAhead, TakesTheFramePreparedAheadUnlessANewerOneCameAndKeepsItsError) {
    auto source = std::make_shared<QueueSource>();
    auto link = std::make_shared<FrameWriteLink>();
    auto core = std::make_shared<Core>();
    core->input_fraction_bits = 1;
    auto demo = std::make_shared<Demo>();
    demo->data_fit = DATA_FIT::STRETCH;
    UploadWorker worker(source, link, core, demo);
    worker.look_ahead = UploadWorker::LookAhead::always;
    // A 416 x 416 frame is not fitted: each written sample is its grey / 2.
    const auto grey = [](int value) { return cv::Mat(SIDE, SIDE, CV_8UC3, cv::Scalar::all(value)); };
    uint64_t last_sequence = 0;
    // A cycle's grab ahead may still run after the cycle: new frames are
    // queued once it has grabbed, so that the next cycle's own grab gets them.
    const auto grabbed = [&](uint64_t grabs) {
        ASSERT_TRUE(poll_until([&] { return source->grabs() >= grabs; })) << grabs;
    };
    const auto cycle = [&](uint64_t id, int sample) {
        const size_t before = link->writes.size();
        worker.work();
        worker.wait_work_done();
        ASSERT_EQ(link->writes.size(), before + 3) << id;
        EXPECT_EQ(link->writes.back().bytes[0], sample) << id;
        EXPECT_EQ(worker.get_frame_id(), id);
        EXPECT_GT(worker.get_image_info()->sequence, last_sequence) << id;
        last_sequence = worker.get_image_info()->sequence;
    };

    source->queue(grey(20), 1);
    source->queue(grey(40), 2);
    cycle(1, 10);  // frame 2 is grabbed and prepared while frame 1 goes out
    cycle(2, 20);
    grabbed(4);
    source->queue(grey(60), 3);
    cycle(3, 30);  // newer than frame 2 prepared again ahead
    cycle(3, 30);
    grabbed(8);

    source->queue(grey(80), 4);
    source->queue(cv::Mat(0, 640, CV_8UC3), 5);
    cycle(4, 40);
    EXPECT_EQ(fatal::error_text([&] {
                  worker.work();
                  worker.wait_work_done();
              }),
              "ERROR: Invalid image received\n\t image height:0\n\t image width: 640\n");
    source->queue(grey(100), 6);
    cycle(6, 50);
}
