#include "postprocess/overlay.hpp"
#include "postprocess/segmentation.hpp"

#include "tests/postprocess/support.hpp"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <random>

namespace {

const cv::Vec3b GREY(214, 214, 214);

cv::Vec3b px(const cv::Mat& m, int x, int y) { return m.at<cv::Vec3b>(y, x); }

cv::Mat solid(int rows, int cols, cv::Vec3b colour) {
    return cv::Mat(rows, cols, CV_8UC3, cv::Scalar(colour[0], colour[1], colour[2]));
}

}  // namespace

TEST(Canvas, FrameIsScaledAndCentredWithGreyBars) {
    const cv::Vec3b blue(200, 10, 10);
    CanvasGeometry g = canvas_geometry(480, 640);
    EXPECT_FLOAT_EQ(g.d, 1.5f);
    EXPECT_EQ(g.sw, 960);
    EXPECT_EQ(g.sh, 720);
    EXPECT_EQ(g.left, 160);
    EXPECT_EQ(g.right, 160);
    cv::Mat canvas = place_frame(solid(480, 640, blue), g);
    ASSERT_EQ(canvas.size(), cv::Size(1280, 720));
    EXPECT_EQ(px(canvas, 159, 300), GREY);
    EXPECT_EQ(px(canvas, 160, 300), blue);
    EXPECT_EQ(px(canvas, 1119, 0), blue);
    EXPECT_EQ(px(canvas, 1120, 719), GREY);

    // Odd widths and heights: the extra bar pixel goes right and bottom.
    g = canvas_geometry(720, 721);
    EXPECT_EQ(g.left, 279);
    EXPECT_EQ(g.right, 280);
    canvas = place_frame(solid(720, 721, blue), g);
    EXPECT_EQ(px(canvas, 278, 10), GREY);
    EXPECT_EQ(px(canvas, 279, 10), blue);
    EXPECT_EQ(px(canvas, 999, 10), blue);
    EXPECT_EQ(px(canvas, 1000, 10), GREY);
    g = canvas_geometry(719, 1280);
    EXPECT_EQ(g.top, 0);
    EXPECT_EQ(g.bottom, 1);
    canvas = place_frame(solid(719, 1280, blue), g);
    EXPECT_EQ(px(canvas, 640, 718), blue);
    EXPECT_EQ(px(canvas, 640, 719), GREY);
}

TEST(Canvas, SamePixelsAsResizeThenBorder) {
    std::mt19937 rng(7);
    for (cv::Size size : {cv::Size(1280, 720), cv::Size(640, 480), cv::Size(333, 517), cv::Size(1920, 1080)}) {
        cv::Mat source(size, CV_8UC3);
        cv::randu(source, 0, 256);
        const CanvasGeometry g = canvas_geometry(size.height, size.width);
        cv::Mat expected;
        cv::resize(source, expected, cv::Size(g.sw, g.sh), 0, 0, cv::INTER_LINEAR);
        cv::copyMakeBorder(expected, expected, g.top, g.bottom, g.left, g.right, cv::BORDER_CONSTANT,
                           cv::Scalar(214, 214, 214));
        const cv::Mat canvas = place_frame(source, g);
        EXPECT_EQ(cv::norm(canvas, expected, cv::NORM_INF), 0.0) << size;
    }
}

TEST(TextPainter, CachedTextsMatchTheLibrarysStrokesAnywhere) {
    std::mt19937 rng(11);
    TextPainter painter;
    struct Style {
        std::string text;
        int font;
        double scale;
        int thickness;
    };
    const std::vector<Style> styles{{"diningtable", cv::FONT_HERSHEY_COMPLEX_SMALL, 3.0, 3},
                                    {"pottedplant", cv::FONT_HERSHEY_COMPLEX_SMALL, 3.0, 3},
                                    {"30", cv::FONT_HERSHEY_SIMPLEX, 3.0, 10},
                                    {"FPS", cv::FONT_HERSHEY_SIMPLEX, 1.5, 7},
                                    {"57.5 %", cv::FONT_HERSHEY_SIMPLEX, 0.5, 1}};
    for (int round = 0; round < 60; ++round) {
        const Style& s = styles[round % styles.size()];
        cv::Mat expected(720, 1280, CV_8UC3);
        cv::randu(expected, 0, 256);
        cv::Mat actual = expected.clone();
        // Positions across the canvas and past its edges.
        const cv::Point origin(static_cast<int>(rng() % 1500) - 100, static_cast<int>(rng() % 900) - 100);
        const cv::Scalar colour(rng() % 256, rng() % 256, rng() % 256);
        for (int twice = 0; twice < 2; ++twice) {
            cv::putText(expected, s.text, origin, s.font, s.scale, colour, s.thickness, cv::LINE_8);
            painter.put_text(actual, s.text, origin, s.font, s.scale, colour, s.thickness);
        }
        ASSERT_EQ(cv::norm(actual, expected, cv::NORM_INF), 0.0) << s.text << " at " << origin;
    }
}

TEST(Overlay, DetectionsInTheirClassColours) {
    const cv::Mat colours = pp_test::make_colours();
    const auto post = pp_test::make_post();
    const cv::Vec3b c3 = colours.at<cv::Vec3b>(0, 3);
    const cv::Vec3b c7 = colours.at<cv::Vec3b>(0, 7);
    OverlayPainter painter;

    // A 640 x 480 frame: d = 1.5 and 160-pixel bars.
    const CanvasGeometry g = canvas_geometry(480, 640);
    cv::Mat canvas = place_frame(solid(480, 640, cv::Vec3b(0, 0, 0)), g);
    const int classes[3] = {3, 7, 5};
    const BB boxes[3] = {BB{100, 300, 100, 250}, BB{400, 500, 300, 400}, BB{50, 50, 10, 20}};
    painter.draw_detections(canvas, g, 3, classes, boxes, colours, post->labels);
    // Box 0 from (100 * 1.5 + 160 - 1, 100 * 1.5 - 1) = (309, 149) to (609, 374).
    EXPECT_EQ(px(canvas, 309, 250), c3);
    EXPECT_EQ(px(canvas, 609, 250), c3);
    EXPECT_EQ(px(canvas, 450, 149), c3);
    EXPECT_EQ(px(canvas, 450, 374), c3);
    EXPECT_EQ(px(canvas, 450, 250), cv::Vec3b(0, 0, 0));
    // Its label "boat" below the top-left corner, in the same colour.
    int label_pixels = 0;
    for (int y = 160; y < 200; ++y)
        for (int x = 320; x < 440; ++x) label_pixels += px(canvas, x, y) == c3;
    EXPECT_GT(label_pixels, 100);
    EXPECT_EQ(px(canvas, 759, 500), c7);
    // The collapsed box draws nothing.
    EXPECT_EQ(px(canvas, 234, 30), cv::Vec3b(0, 0, 0));
}

TEST(Overlay, FrameRateAndThresholdTexts) {
    EXPECT_EQ(frame_rate_text(29.5), "30");
    EXPECT_EQ(frame_rate_text(29.4), "29");
    EXPECT_EQ(frame_rate_text(30.5), "31");
    EXPECT_EQ(frame_rate_text(0.0), "0");
    EXPECT_EQ(threshold_text(0.275f), "27.5 %");
    EXPECT_EQ(threshold_text(0.575f), "57.5 %");
    EXPECT_EQ(threshold_text(0.3f), "30.0 %");
    EXPECT_EQ(threshold_text(0.0f), "0.0 %");
    EXPECT_EQ(threshold_text(1.0f), "100.0 %");

    // White digits with a black outline.
    cv::Mat canvas = solid(720, 1280, cv::Vec3b(90, 90, 90));
    OverlayPainter painter;
    painter.draw_frame_rate(canvas, 29.5);
    cv::Mat expected = solid(720, 1280, cv::Vec3b(90, 90, 90));
    cv::putText(expected, "30", cv::Point(1130, 670), cv::FONT_HERSHEY_SIMPLEX, 3.0, cv::Scalar(0, 0, 0), 10);
    cv::putText(expected, "30", cv::Point(1130, 670), cv::FONT_HERSHEY_SIMPLEX, 3.0, cv::Scalar(255, 255, 255), 4);
    cv::putText(expected, "FPS", cv::Point(1130, 595), cv::FONT_HERSHEY_SIMPLEX, 1.5, cv::Scalar(0, 0, 0), 7);
    cv::putText(expected, "FPS", cv::Point(1130, 595), cv::FONT_HERSHEY_SIMPLEX, 1.5, cv::Scalar(255, 255, 255), 2);
    EXPECT_EQ(cv::norm(canvas, expected, cv::NORM_INF), 0.0);
}

TEST(Logos, AlphaBecomesAnErodedMaskAndOnlyMaskedPixelsAreCopied) {
    Logo logo = prepare_logo(pp_test::left_logo_file());
    ASSERT_EQ(logo.image.type(), CV_8UC3);
    ASSERT_EQ(logo.mask.type(), CV_8UC1);
    // Erosion eats the inner edge of the opaque half but not the image edge.
    EXPECT_EQ(logo.mask.at<uint8_t>(50, 98), 255);
    EXPECT_EQ(logo.mask.at<uint8_t>(50, 99), 0);
    EXPECT_EQ(logo.mask.at<uint8_t>(0, 0), 255);

    scale_logo_to_height(logo, 120);
    EXPECT_EQ(logo.image.size(), cv::Size(240, 120));
    EXPECT_EQ(logo.mask.size(), cv::Size(240, 120));

    cv::Mat canvas = solid(720, 1280, cv::Vec3b(1, 2, 3));
    OverlayPainter painter;
    painter.draw_logos(canvas, logo, Logo{});
    EXPECT_EQ(px(canvas, 30 + 50, 570 + 60), cv::Vec3b(0, 0, 255));
    EXPECT_EQ(px(canvas, 30 + 200, 570 + 60), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(px(canvas, 29, 600), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(px(canvas, 100, 569), cv::Vec3b(1, 2, 3));

    // A logo too big for its place is cut at the canvas edge.
    Logo wide{cv::Mat(200, 2000, CV_8UC3, cv::Scalar(7, 7, 7)), cv::Mat(200, 2000, CV_8UC1, cv::Scalar(255))};
    painter.draw_logos(canvas, wide, wide);
    EXPECT_EQ(px(canvas, 1279, 719), cv::Vec3b(7, 7, 7));
}

TEST(Logos, IdleScreenIsWhiteWithTheWideLogo) {
    const Logo logo = prepare_logo(pp_test::right_logo_file());
    const std::shared_ptr<cv::Mat> idle = make_idle_frame(logo);
    ASSERT_EQ(idle->size(), cv::Size(1280, 720));
    // 300 x 150 scaled by 4.2 to 1260 x 630 at (10, 60): the opaque band
    // (x 50..249, y 50..99 of the file) lands around (10 + 630, 60 + 315).
    EXPECT_EQ(px(*idle, 640, 375), cv::Vec3b(0, 255, 0));
    EXPECT_EQ(px(*idle, 5, 5), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(px(*idle, 110, 160), cv::Vec3b(255, 255, 255));
    EXPECT_EQ(px(*idle, 1279, 719), cv::Vec3b(255, 255, 255));
}

TEST(Segmentation, ArgmaxColourmapLegendAndNormalisation) {
    auto planes = std::make_shared<std::vector<cv::Mat>>();
    planes->push_back((cv::Mat_<uint8_t>(1, 4) << 5, 9, 200, 0));
    planes->push_back((cv::Mat_<uint8_t>(1, 4) << 5, 10, 100, 0));
    planes->push_back((cv::Mat_<uint8_t>(1, 4) << 6, 10, 255, 0));
    const cv::Mat best = argmax(planes);
    EXPECT_EQ(best.at<uint8_t>(0, 0), 2);  // strictly greater wins
    EXPECT_EQ(best.at<uint8_t>(0, 1), 1);  // tie with a later plane: the earlier
    EXPECT_EQ(best.at<uint8_t>(0, 2), 2);
    EXPECT_EQ(best.at<uint8_t>(0, 3), 0);
    auto single = std::make_shared<std::vector<cv::Mat>>(1, cv::Mat(2, 2, CV_8UC1, cv::Scalar(9)));
    EXPECT_EQ(cv::countNonZero(argmax(single)), 0);

    const cv::Mat table = pp_test::make_colours();
    const cv::Mat mapped = apply_colourmap(best, table);
    ASSERT_EQ(mapped.type(), CV_8UC3);
    EXPECT_EQ(mapped.at<cv::Vec3b>(0, 1), table.at<cv::Vec3b>(0, 1));

    const cv::Mat legend = create_legend({"a", "b", "c"}, table);
    ASSERT_EQ(legend.size(), cv::Size(320, 512));
    // Bands of 170 rows in colours 0, 1, 2; the leftover rows keep colour 0.
    EXPECT_EQ(legend.at<cv::Vec3b>(5, 300), table.at<cv::Vec3b>(0, 0));
    EXPECT_EQ(legend.at<cv::Vec3b>(175, 300), table.at<cv::Vec3b>(0, 1));
    EXPECT_EQ(legend.at<cv::Vec3b>(345, 300), table.at<cv::Vec3b>(0, 2));
    EXPECT_EQ(legend.at<cv::Vec3b>(511, 300), table.at<cv::Vec3b>(0, 0));

    auto raw = std::make_shared<std::vector<cv::Mat>>();
    raw->push_back((cv::Mat_<int8_t>(2, 2) << -100, 0, 20, 50));
    raw->push_back((cv::Mat_<int8_t>(2, 2) << -28, -100, 50, 50));
    upsample_and_prosper(raw, 2.0, cv::INTER_NEAREST);
    ASSERT_EQ(raw->size(), 2u);
    EXPECT_EQ((*raw)[0].size(), cv::Size(4, 4));
    EXPECT_EQ((*raw)[0].at<uint8_t>(0, 0), 0);    // global minimum
    EXPECT_EQ((*raw)[0].at<uint8_t>(3, 3), 255);  // global maximum
    // -28 + 128 = 100 on the range 28..178: 72 / 150 * 255 = 122.4.
    EXPECT_EQ((*raw)[1].at<uint8_t>(0, 0), 122);
}

TEST(RectanglePainter, SamePixelsAsTheLibrarysThickRectangle) {
    RectanglePainter painter(5);
    std::mt19937 rng(5);
    cv::Mat expected(300, 400, CV_8UC3), actual;
    // Every size up to 60 x 60 (small ones go to the library), then large
    // ones and ones reaching past the edges.
    for (int round = 0; round < 61 * 61 + 200; ++round) {
        int w, h;
        cv::Point p1;
        if (round < 61 * 61) {
            w = round % 61;
            h = round / 61;
            p1 = cv::Point(20 + static_cast<int>(rng() % 200), 20 + static_cast<int>(rng() % 200));
        } else {
            w = static_cast<int>(rng() % 420);
            h = static_cast<int>(rng() % 320);
            p1 = cv::Point(static_cast<int>(rng() % 420) - 10, static_cast<int>(rng() % 320) - 10);
        }
        expected.setTo(cv::Scalar(9, 99, 199));
        actual = expected.clone();
        const cv::Point p2(p1.x + w, p1.y + h);
        const cv::Scalar colour(rng() % 256, rng() % 256, rng() % 256);
        cv::rectangle(expected, p1, p2, colour, 5, cv::LINE_8);
        painter.draw(actual, p1, p2, colour);
        ASSERT_EQ(cv::norm(actual, expected, cv::NORM_INF), 0.0) << p1 << " " << p2;
    }
}
