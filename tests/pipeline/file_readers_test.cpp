#include "pipeline/file_readers.hpp"
#include "tests/support/fatal.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TempFile {
public:
    explicit TempFile(const std::string& content) {
        static int counter = 0;
        path_ = (fs::temp_directory_path() /
                 ("vd_readers_" + std::to_string(::getpid()) + "_" + std::to_string(counter++)))
                    .string();
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
    }
    ~TempFile() { fs::remove(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::vector<unsigned char> bytes_of(const std::shared_ptr<std::vector<char>>& data) {
    return std::vector<unsigned char>(data->begin(), data->end());
}

std::vector<unsigned char> flat(const std::string& content, uint64_t data_width = 0) {
    TempFile file(content);
    return bytes_of(load_mempacked_data_flat(file.path(), data_width));
}

std::string width_warning(size_t length, uint64_t data_width) {
    return "Line size does not correspond to data_width\n\tline.size() != 2*DATA_WIDTH\n\tline.size() = " +
           std::to_string(length) + "\n\tDATA_WIDTH  = " + std::to_string(data_width) + "\n";
}

using Bytes = std::vector<unsigned char>;

}  // namespace

TEST(MempackedFlat, EachLineIsOneWordStoredLittleEndian) {
    const Bytes expected = {0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44};
    EXPECT_EQ(flat("00112233\n44556677\n"), expected);
    EXPECT_EQ(flat("00112233\n44556677\n", 4), expected);
    EXPECT_EQ(flat("00112233\n44556677"), expected) << "last line without a line feed";
    EXPECT_EQ(flat("0A0B0C0D\n"), (Bytes{0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(flat("aBcDeF09\n"), flat("ABCDEF09\n"));
    EXPECT_EQ(flat("ff\n80\n7f\n"), (Bytes{0xFF, 0x80, 0x7F}));
}

TEST(MempackedFlat, CarriageReturnsBeforeLineEndsAreNotPartOfTheLine) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(flat("00112233\r\n44556677\r\n"), (Bytes{0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44}));
    EXPECT_EQ(flat("00112233\r\n44556677\r"), (Bytes{0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(MempackedFlat, LargeFilesReadInPiecesKeepEveryLineWhole) {
    // Over a mebibyte of CRLF lines after three LF lines, so that lines cross
    // every read-block boundary and one carriage return ends a mebibyte
    // exactly (27 + 10 k + 8 = 2^20 - 1).
    std::string text;
    Bytes expected;
    const int lines = 3 + 110000;
    for (int i = 0; i < lines; ++i) {
        char word[9];
        std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(i * 2654435761u));
        text += word;
        text += i < 3 ? "\n" : "\r\n";
        for (int b = 3; b >= 0; --b) expected.push_back(static_cast<unsigned char>(std::stoul(std::string(word + 2 * b, 2), nullptr, 16)));
    }
    ASSERT_EQ(text[(1 << 20) - 1], '\r');
    testing::internal::CaptureStderr();
    EXPECT_EQ(flat(text), expected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(MempackedFlat, EmptyLinesAreSkippedBeforeTheWidthIsKnownAndWarnedAboutAfter) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(flat("\n\r\n00112233\n"), (Bytes{0x33, 0x22, 0x11, 0x00}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_EQ(flat("00112233\n\n44556677\n"), (Bytes{0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), width_warning(0, 4));
}

TEST(MempackedFlat, LinesOfTheWrongLengthShiftPlacementButNeverWriteOutside) {
    // 3 pairs then 4: pair j goes to 4 * (j / 4 + 1) - j % 4 - 1, so the
    // second line's first pair completes word 0 and its last three fall to
    // positions 7, 6, 5; position 7 lies beyond the 7 bytes and is dropped.
    testing::internal::CaptureStderr();
    EXPECT_EQ(flat("001122\n33445566\n", 4), (Bytes{0x33, 0x22, 0x11, 0x00, 0x00, 0x66, 0x55}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), width_warning(6, 4));

    // An odd line: its last digit is not a pair and is ignored.
    testing::internal::CaptureStderr();
    EXPECT_EQ(flat("00112233\n445566778\n99AABBCC\n"),
              (Bytes{0x33, 0x22, 0x11, 0x00, 0x77, 0x66, 0x55, 0x44, 0xCC, 0xBB, 0xAA, 0x99}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), width_warning(9, 4));

    // A long last line: its fifth pair belongs to a word the file never completes.
    testing::internal::CaptureStderr();
    EXPECT_EQ(flat("0011223344\n", 4), (Bytes{0x33, 0x22, 0x11, 0x00, 0x00}));
    // A width taken from an odd first line (3 digits: width 1).
    EXPECT_EQ(flat("abc\n12\n"), (Bytes{0xAB, 0x12}));
    // A width far larger than the file: every pair lands beyond the end.
    EXPECT_EQ(flat("0011\n", uint64_t{1} << 62), (Bytes{0x00, 0x00}));
    testing::internal::GetCapturedStderr();
}

TEST(MempackedFlat, MissingFileGivesAnEmptyImageSilently) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(load_mempacked_data_flat("/nonexistent/weights.txt", 0)->empty());
    EXPECT_TRUE(load_mempacked_data_flat(fs::temp_directory_path().string(), 0)->empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(MempackedFlat, NonHexadecimalCharacterEndsTheProgram) {
    // The message goes to standard output without a line end.
    TempFile bad("00112233\n0011g233\n");
    EXPECT_EQ(fatal::output_text([&] { load_mempacked_data_flat(bad.path(), 0); }),
                "ERROR: Unable to convert character g to hex");
    TempFile blank("0011 233\n");
    EXPECT_EQ(fatal::output_text([&] { load_mempacked_data_flat(blank.path(), 0); }),
                "ERROR: Unable to convert character   to hex");
}

TEST(MempackedPlanes, BytesFillPlanesRowByRowAndSurplusIsIgnored) {
    // Two planes of 2 x 2; the file holds 12 bytes, the last 4 beyond the planes.
    TempFile file("00112233\n44556677\n8899AABB\n");
    const auto planes = load_mempacked_data(file.path(), 2, 2, 2, 0);
    ASSERT_EQ(planes->size(), 2u);
    for (const cv::Mat& p : *planes) {
        EXPECT_EQ(p.type(), CV_8SC1);
        EXPECT_EQ(p.size(), cv::Size(2, 2));
    }
    EXPECT_EQ((*planes)[0].at<signed char>(0, 0), 0x33);
    EXPECT_EQ((*planes)[0].at<signed char>(0, 1), 0x22);
    EXPECT_EQ((*planes)[0].at<signed char>(1, 1), 0x00);
    EXPECT_EQ((*planes)[1].at<signed char>(0, 0), 0x77);
    EXPECT_EQ((*planes)[1].at<signed char>(1, 1), 0x44);

    // Short file: the uncovered samples are zero; bytes above 0x7F are negative.
    TempFile short_file("FF800102\n");
    const auto partial = load_mempacked_data(short_file.path(), 2, 2, 2, 0);
    EXPECT_EQ((*partial)[0].at<signed char>(0, 0), 2);
    EXPECT_EQ((*partial)[0].at<signed char>(1, 0), -128);
    EXPECT_EQ((*partial)[0].at<signed char>(1, 1), -1);
    EXPECT_EQ(cv::countNonZero((*partial)[1]), 0);
}

TEST(MempackedPlanes, MissingFileEndsTheProgram) {
    EXPECT_EQ(fatal::output_text([&] { load_mempacked_data("/nonexistent/input.txt", 2, 2, 1, 0); }),
                "FAILED TO OPEN DATA FILE: /nonexistent/input.txt\n");
}

TEST(ScalingParameters, FirstHalfAreScalesSecondHalfBiases) {
    std::vector<float> values(250);
    for (int i = 0; i < 250; ++i) values[i] = 0.5f + static_cast<float>(i) * 0.25f - (i >= 125 ? 100.0f : 0.0f);
    // The file is little-endian whatever the machine: written byte by byte.
    std::string content;
    for (const float value : values) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        for (int b = 0; b < 4; ++b) content.push_back(static_cast<char>(bits >> (8 * b)));
    }
    TempFile file(content);
    const auto parameters = load_scaling_parameters(file.path(), 125);
    ASSERT_EQ(parameters.first.size(), 125u);
    ASSERT_EQ(parameters.second.size(), 125u);
    EXPECT_EQ(parameters.first.front(), 0.5f);
    EXPECT_EQ(parameters.first.back(), values[124]);
    EXPECT_EQ(parameters.second.front(), values[125]);
    EXPECT_EQ(parameters.second.back(), values[249]);

    TempFile empty("");
    EXPECT_TRUE(load_scaling_parameters(empty.path(), 0).first.empty());
}

TEST(ScalingParameters, WrongSizeOrMissingFileEndsTheProgram) {
    TempFile short_file(std::string(999, '\0'));
    EXPECT_EQ(fatal::error_text([&] { load_scaling_parameters(short_file.path(), 125); }),
                "Error: Incorrect format in scaling parameters " + short_file.path() +
                            "\nExpected 1000\nReceived 999\n");
    TempFile long_file(std::string(1001, '\0'));
    EXPECT_EQ(fatal::error_text([&] { load_scaling_parameters(long_file.path(), 125); }),
                "Error: Incorrect format in scaling parameters " + long_file.path() +
                            "\nExpected 1000\nReceived 1001\n");
    EXPECT_EQ(fatal::output_text([&] { load_scaling_parameters("/nonexistent/scales.bin", 125); }),
                "ERROR: Failed to open file /nonexistent/scales.bin\n");
}

TEST(PathUtilities, SuffixIsAddedOnceAndEverySeparatorReplaced) {
    EXPECT_EQ(caffix_string("images", "/"), "images/");
    EXPECT_EQ(caffix_string("images/", "/"), "images/");
    EXPECT_EQ(caffix_string("", "/"), "/");
    EXPECT_EQ(caffix_string("a", "long-suffix"), "along-suffix");
    EXPECT_EQ(caffix_string("x", ""), "x");

    std::string path = "a\\b\\c";
    find_and_replace(path, "\\", "/");
    EXPECT_EQ(path, "a/b/c");
    // Inserted text is not scanned again, so a replacement that contains the
    // pattern terminates.
    std::string grow = "aXa";
    find_and_replace(grow, "a", "aa");
    EXPECT_EQ(grow, "aaXaa");
    std::string same = "abc";
    find_and_replace(same, "", "z");
    EXPECT_EQ(same, "abc");
    std::string multi = "x::y::";
    find_and_replace(multi, "::", "/");
    EXPECT_EQ(multi, "x/y/");
}
