#include "tests/postprocess/stage_on_board.hpp"

TEST_F(StageOnBoard, DownloadsTheOutputBlockOfTheSelectedBufferSet) {
    // One object (class 8, anchor 0, cell row 5 column 9) in buffer set 1.
    std::vector<uint8_t> block(21125, 0x80);
    auto set = [&](int k, int8_t q) { block[(0 * 25 + k) * 169 + 5 * 13 + 9] = static_cast<uint8_t>(q); };
    set(4, 127);
    set(5 + 8, 127);
    for (int k = 0; k < 4; ++k) set(k, 0);
    board().write_ddr(core->address_output + core->offset_pingpong, block);

    auto info = std::make_shared<ImageInfo>();
    info->height = 720;
    info->width = 1280;
    stage->pingpong = 1;
    stage->download(info, std::make_shared<cv::Mat>(720, 1280, CV_8UC3, cv::Scalar(0, 0, 0)), 1, 30.0);
    stage->work();
    EXPECT_EQ(board().counters().requests["stream"], 1u);
    ASSERT_EQ(stage->get_detection_count(), 1u);
    EXPECT_EQ(stage->get_detection_classes()[0], 8);
    // Box fit of 1280 x 720: the cell centre (9.5 / 13 of the input width)
    // maps linearly onto the frame's width.
    const BB b = stage->get_detection_bbs()[0];
    EXPECT_NEAR((b.left + b.right) / 2 - 1, 9.5f / 13 * 1280, 1e-2);
    EXPECT_GE(stage->timings().download_us, 0);
    EXPECT_GE(stage->duration_us, stage->timings().download_us);
}

