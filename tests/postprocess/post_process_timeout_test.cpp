#include "tests/postprocess/stage_on_board.hpp"

// Five stalled stream attempts of 5 s each.
TEST_F(StageOnBoard, ReadTimeOutArrivesAsResetWithTheFullMessage) {
    board().stop();
    auto info = std::make_shared<ImageInfo>();
    try {
        stage->download(info, std::make_shared<cv::Mat>(4, 4, CV_8UC3), 1, 30.0);
        FAIL() << "no exception";
    } catch (const exception_reset& e) {
        EXPECT_STREQ(e.what(),
                     "exception_reset in post_processing node @download: "
                     "udp_read_ddr: Exceeded maximum number of retries");
    }
}
