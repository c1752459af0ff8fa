// Class colour table and the labels of the data sources.
#include "records/config.hpp"

#include "records/classes.hpp"

#include <opencv2/imgproc.hpp>

const std::map<DATA_SOURCE, std::string> data_source_name = {
    {DATA_SOURCE::NONE, "NONE - No source set"},
    {DATA_SOURCE::PACKED, "PACKED - Prepacked Tarvex Export"},
    {DATA_SOURCE::IMAGE, "IMAGE - Image Globber"},
    {DATA_SOURCE::VIDEO, "VIDEO - Video File"},
    {DATA_SOURCE::CAPTURE, "CAPTURE - Webcam Stream"},
};

cv::Mat get_kelly_lut() {
    // Entries 20..255 are never drawn; they are cleared so the table is fully defined.
    cv::Mat table(1, 256, CV_8UC3, cv::Scalar(0, 0, 0));
    for (int k = 0; k < network::CLASSES; ++k) {
        const auto& rgb = network::CLASS_COLOURS_RGB[size_t(k)];
        table.at<cv::Vec3b>(0, k) = cv::Vec3b(rgb[0], rgb[1], rgb[2]);
    }
    // Filled as red-green-blue, used as blue-green-red like every image here.
    cv::cvtColor(table, table, cv::COLOR_RGB2BGR);
    return table;
}
