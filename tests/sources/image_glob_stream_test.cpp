#include "sources/glob.hpp"
#include "sources/image_glob_stream.hpp"
#include "tests/support/poll.hpp"
#include "tests/support/temp_folder.hpp"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Writes a PNG-encoded image under any name; the width tells the images
// apart (10 + k columns for image k).
void write_image(const std::string& path, int k) {
    cv::Mat image(4, 10 + k, CV_8UC3, cv::Scalar(20 * k, 100, 255 - 20 * k));
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".png", image, bytes));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::shared_ptr<Demo> demo_for(const std::string& folder, const std::string& extension) {
    auto demo = std::make_shared<Demo>();
    demo->path_image_glob = folder + "/";
    demo->image_extension = extension;
    return demo;
}

// Polls grab until it hands out a frame or the deadline passes.
bool grab_within(ImageGlobStream& stream, std::shared_ptr<cv::Mat>& frame, uint64_t& id,
                 std::chrono::milliseconds limit = 5000ms) {
    return poll_until([&] { return stream.grab(frame, id); }, limit);
}

// A folder with five images of three extension spellings, plus entries that
// must not be listed.
class ImageFolder : public testing::Test {
protected:
    void SetUp() override {
        write_image(folder.path + "/b.jpg", 2);
        write_image(folder.path + "/A.JPG", 0);
        write_image(folder.path + "/Z.jpg", 1);
        write_image(folder.path + "/c.Jpg", 3);
        fs::create_symlink(folder.path + "/b.jpg", folder.path + "/link.jpg");
        write_image(folder.path + "/d.png", 9);
        std::ofstream(folder.path + "/notes.txt") << "not an image\n";
        fs::create_directory(folder.path + "/dir.jpg");
        fs::create_symlink(folder.path + "/missing.png", folder.path + "/gone.jpg");
        std::ofstream(folder.path + "/fake.jpg") << "text, not an image\n";
        std::ofstream(folder.path + "/b.jpg.bak") << "x";
    }
    TempFolder folder;
};

}  // namespace

TEST_F(ImageFolder, ListsMatchingRegularFilesInByteOrderWithAnyExtensionCase) {
    ImageGlobStream stream("glob", demo_for(folder.path, "jpg"), 0ns);
    const std::vector<std::string> expected{"A.JPG", "Z.jpg", "b.jpg", "c.Jpg", "fake.jpg", "link.jpg"};
    EXPECT_EQ(stream.get_names(), expected);
    ASSERT_EQ(stream.get_count(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(stream.get_paths()[k], folder.path + "/" + expected[k]);
    std::string message = "stale";
    EXPECT_TRUE(stream.okay(message));
    EXPECT_EQ(message, "");
    EXPECT_EQ(stream.get_id(), "glob");
}

TEST_F(ImageFolder, KeysStepThroughTheImagesAndWrapBothWays) {
    ImageGlobStream stream("glob", demo_for(folder.path, "JPG"), 0ns);
    std::shared_ptr<cv::Mat> frame;
    uint64_t id = 99;
    // Stopped: nothing is handed out, the id is still reported.
    EXPECT_FALSE(stream.grab(frame, id));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(frame, nullptr);

    stream.work();
    ASSERT_TRUE(grab_within(stream, frame, id));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(frame->cols, 10);  // A.JPG

    auto callbacks = stream.get_callbacks();
    ASSERT_EQ(callbacks.size(), 4u);
    callbacks.at(81)();  // previous from 0 wraps to the last entry
    ASSERT_TRUE(grab_within(stream, frame, id));
    EXPECT_EQ(id, 5u);
    EXPECT_EQ(frame->cols, 12);  // link.jpg -> b.jpg
    callbacks.at(2555904)();  // next from the last wraps to 0
    ASSERT_TRUE(grab_within(stream, frame, id));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(frame->cols, 10);
    callbacks.at(83)();
    callbacks.at(83)();
    callbacks.at(2424832)();
    ASSERT_TRUE(grab_within(stream, frame, id));
    // Intermediate images may be skipped, the last selected one arrives.
    while (id != 1u && grab_within(stream, frame, id)) {
    }
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(frame->cols, 11);  // Z.jpg

    // A file named like an image that does not decode arrives empty.
    stream.next();
    stream.next();
    stream.next();
    while (id != 4u && grab_within(stream, frame, id)) {
    }
    EXPECT_EQ(id, 4u);
    EXPECT_TRUE(frame->empty());

    // With display time 0 nothing changes by itself, and a second grab hands
    // out nothing while reporting the same id.
    auto kept = frame;
    EXPECT_FALSE(stream.grab(frame, id));
    EXPECT_EQ(frame, kept);
    EXPECT_EQ(id, 4u);
    stream.stop();
    EXPECT_EQ(stream.get_i(), 4u);

    // The index survives a restart; stepping moves without reloading.
    stream.step_forward();
    stream.step_back();
    stream.step_back();
    EXPECT_EQ(stream.get_i(), 3u);
    stream.work();
    ASSERT_TRUE(grab_within(stream, frame, id));
    EXPECT_EQ(id, 3u);
    EXPECT_EQ(frame->cols, 13);  // c.Jpg
    stream.stop();
}

TEST_F(ImageFolder, DisplayTimeAdvancesInNameOrderAndHandedOutImagesStayIntact) {
    ImageGlobStream stream("glob", demo_for(folder.path, "jpg"), 3ms);
    stream.work();
    std::vector<std::pair<std::shared_ptr<cv::Mat>, cv::Mat>> kept;
    std::vector<uint64_t> ids;
    std::shared_ptr<cv::Mat> frame;
    uint64_t id = 0;
    // Run until the images have wrapped round at least once.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool wrapped = false;
    while (!wrapped && std::chrono::steady_clock::now() < deadline) {
        if (!grab_within(stream, frame, id)) break;
        kept.emplace_back(frame, frame->clone());
        if (!ids.empty() && id < ids.back()) wrapped = true;
        ids.push_back(id);
    }
    stream.stop();
    ASSERT_TRUE(wrapped);
    const std::vector<int> widths{10, 11, 12, 13, -1, 12};
    for (size_t k = 0; k < kept.size(); ++k) {
        // Never written after it was handed out, and it is the image its id names.
        EXPECT_EQ(cv::norm(*kept[k].first, kept[k].second, cv::NORM_INF), 0.0);
        if (widths[ids[k]] > 0) EXPECT_EQ(kept[k].first->cols, widths[ids[k]]) << "id " << ids[k];
        // Forward in name order until the wrap that ends the run.
        if (k > 0 && k + 1 < kept.size()) EXPECT_GT(ids[k], ids[k - 1]);
    }
}

// The display thread sleeps until a key, a stop or the display time: a key
// and a stop must wake it, whether a display time is set or not.
TEST_F(ImageFolder, KeyAndStopWakeTheWaitingDisplayThread) {
    for (const std::chrono::nanoseconds display_time : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(1h)}) {
        ImageGlobStream stream("glob", demo_for(folder.path, "jpg"), display_time);
        std::shared_ptr<cv::Mat> frame;
        uint64_t id = 0;
        stream.work();
        ASSERT_TRUE(grab_within(stream, frame, id));
        for (const uint64_t want : {1u, 2u, 1u}) {
            if (want == 1u && id == 2u)
                stream.previous();
            else
                stream.next();
            ASSERT_TRUE(grab_within(stream, frame, id)) << "key not served, display time " << display_time.count();
            EXPECT_EQ(id, want);
        }
        auto stopping = std::async(std::launch::async, [&] { stream.stop(); });
        EXPECT_EQ(stopping.wait_for(5s), std::future_status::ready) << "stop not served";
    }
}

TEST(ImageGlobStreamEmpty, ReportsTheFolderAndExtensionAndIgnoresKeys) {
    TempFolder folder;
    write_image(folder.path + "/only.png", 0);
    ImageGlobStream stream("glob", demo_for(folder.path, "bmp"), 1ms);
    std::string message;
    EXPECT_FALSE(stream.okay(message));
    EXPECT_EQ(message, "No files found in '" + folder.path + "/' with extension 'bmp'\n");
    stream.next();
    stream.previous();
    stream.step_forward();
    stream.step_back();
    EXPECT_EQ(stream.get_i(), 0u);
    stream.work();
    std::shared_ptr<cv::Mat> frame;
    uint64_t id = 7;
    EXPECT_FALSE(stream.grab(frame, id));
    EXPECT_EQ(id, 0u);
    stream.stop();

    ImageGlobStream missing("glob", demo_for(folder.path + "/does_not_exist", "png"), 0ns);
    EXPECT_FALSE(missing.okay(message));
}

TEST(Glob, DirectoryPartUsesTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(glob::directory_part("images/*.jpg"), "images");
    EXPECT_EQ(glob::directory_part("C:\\data\\*.jpg"), "C:\\data");
    EXPECT_EQ(glob::directory_part("C:\\data/sub/*.jpg"), "C:\\data/sub");
    EXPECT_EQ(glob::directory_part("a/b\\*.jpg"), "a/b");
    EXPECT_EQ(glob::directory_part("/*.jpg"), "");
    EXPECT_EQ(glob::directory_part("*.jpg"), ".");
}

TEST(Glob, PatternWithoutSeparatorListsTheWorkingFolderAndTreatsBracketsLiterally) {
    TempFolder folder;
    write_image(folder.path + "/[1].jpg", 0);
    write_image(folder.path + "/1.jpg", 1);
    write_image(folder.path + "/ab.jpg", 2);
    write_image(folder.path + "/abc.jpg", 3);
    write_image(folder.path + "/.hidden.jpg", 4);
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(folder.path.c_str()), 0);

    std::vector<std::string> found;
    for (glob::Glob entry("*.jpg"); entry; entry.Next()) found.push_back(entry.GetFileName());
    EXPECT_EQ(found, (std::vector<std::string>{"1.jpg", "[1].jpg", "ab.jpg", "abc.jpg"}));
    EXPECT_EQ(glob::Glob("*.jpg").GetBaseDir(), ".");

    found.clear();
    for (glob::Glob entry("[1].jpg"); entry; entry.Next()) found.push_back(entry.GetFileName());
    EXPECT_EQ(found, std::vector<std::string>{"[1].jpg"});
    found.clear();
    for (glob::Glob entry("a?.JPG"); entry; entry.Next()) found.push_back(entry.GetFileName());
    EXPECT_EQ(found, std::vector<std::string>{"ab.jpg"});

    // An image source with no folder named has no images, rather than those
    // that happen to lie in the working folder.
    auto demo = std::make_shared<Demo>();
    demo->image_extension = "jpg";
    ImageGlobStream stream("glob", demo, 0ns);
    EXPECT_EQ(stream.get_count(), 0u);
    std::string message;
    EXPECT_FALSE(stream.okay(message));
    ASSERT_EQ(::chdir(previous), 0);
}
