// Segmentation-style outputs: the class of each pixel, coloured through a
// table, a legend of the classes, and the normalised and scaled planes of a
// network output. No program draws such an output; the detection drawing
// lives in overlay.hpp.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

// Per pixel, the index of the plane with the largest (unsigned) byte; the
// first plane wins ties.
cv::Mat argmax(std::shared_ptr<std::vector<cv::Mat>> planes);
// Grey images become three-channel, then every value goes through the table.
cv::Mat apply_colourmap(const cv::Mat& image, const cv::Mat& table);
// A 512 x 320 legend: one band per label in its table colour, label written in.
cv::Mat create_legend(const std::vector<std::string>& labels, const cv::Mat& table);
// Normalises the planes (signed bytes) jointly to 0..255 and resizes them by
// `factor`; the caller's list is replaced.
void upsample_and_prosper(std::shared_ptr<std::vector<cv::Mat>>& planes, double factor, int interpolation);
