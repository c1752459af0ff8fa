// The status line of the idle screen: what the program is busy with while no
// frames flow (a board reset and its boot wait, the weight upload, a retried
// first frame), with the seconds left of a wait. The display draws it over a
// copy of the canvas it shows and redraws it at least once a second; the
// canvas itself is never changed, and without a status nothing is drawn.
#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <string>

// Shows `text` while it lives (with the seconds left until `until`, when
// given) and the line shown before it afterwards. Any thread.
class ShowStatus {
public:
    explicit ShowStatus(const std::string& text);
    ShowStatus(const std::string& text, std::chrono::steady_clock::time_point until);
    ~ShowStatus();
    ShowStatus(const ShowStatus&) = delete;
    ShowStatus& operator=(const ShowStatus&) = delete;

private:
    std::string previous_text;
    std::chrono::steady_clock::time_point previous_until;
};

// The line as it reads at `now`, e.g. "Waiting for the board to boot: 12 s
// left"; empty when there is none.
std::string status_text(std::chrono::steady_clock::time_point now);

// `canvas` with `text` in a dark band along its bottom edge.
cv::Mat with_status(const cv::Mat& canvas, const std::string& text);
