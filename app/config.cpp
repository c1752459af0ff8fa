// Class colour table and the labels of the data sources.
#include "app/config.hpp"

#include <opencv2/imgproc.hpp>

const std::map<DATA_SOURCE, std::string> data_source_name = {
    {DATA_SOURCE::NONE, "NONE - No source set"},
    {DATA_SOURCE::PACKED, "PACKED - Prepacked Tarvex Export"},
    {DATA_SOURCE::IMAGE, "IMAGE - Image Globber"},
    {DATA_SOURCE::VIDEO, "VIDEO - Video File"},
    {DATA_SOURCE::CAPTURE, "CAPTURE - Webcam Stream"},
};

cv::Mat get_kelly_lut() {
    // The first twenty of Kelly's colours of maximum contrast, red-green-blue,
    // one per class.
    static const unsigned char rgb[20][3] = {
        {255, 179, 0},   {128, 62, 117},  {255, 104, 0},  {166, 189, 215}, {193, 0, 32},
        {206, 162, 98},  {129, 112, 102}, {0, 125, 52},   {246, 118, 142}, {0, 83, 138},
        {255, 122, 92},  {83, 55, 122},   {255, 142, 0},  {179, 40, 81},   {244, 200, 0},
        {127, 24, 13},   {147, 170, 0},   {89, 51, 21},   {241, 58, 19},   {35, 44, 22},
    };
    // Entries 20..255 are never drawn; they are cleared so the table is fully defined.
    cv::Mat table(1, 256, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int k = 0; k < 20; ++k) {
        table.at<cv::Vec3b>(0, k) = cv::Vec3b(rgb[k][0], rgb[k][1], rgb[k][2]);
    }
    // Filled as red-green-blue, used as blue-green-red like every image here.
    cv::cvtColor(table, table, cv::COLOR_RGB2BGR);
    return table;
}
