// The two logos: read with their alpha channel, turned into an image and a
// mask, scaled, pasted onto the canvas through the mask, and the idle screen
// made from one of them.
#pragma once

#include <opencv2/core.hpp>

#include <memory>

// A logo ready for drawing: three-channel image and its single-channel mask.
struct Logo {
    cv::Mat image;
    cv::Mat mask;
};

// Splits an image read with its alpha channel into colour and mask and erodes
// the mask with a 3 x 3 rectangle. Images without alpha get a full mask;
// grey images become three-channel and 16-bit ones 8-bit.
Logo prepare_logo(const cv::Mat& file_image);

// Scales a logo and its mask (bilinear) so that its height becomes `height`.
void scale_logo_to_height(Logo& logo, int height);

// The white idle screen with `logo` scaled to 1260 pixels wide at (10, 60).
std::shared_ptr<cv::Mat> make_idle_frame(const Logo& logo);

// Copies `logo` through its mask onto the canvas with its top-left corner at
// `at`; the part outside the canvas is left out.
void paste_logo(cv::Mat& canvas, const Logo& logo, cv::Point at);
