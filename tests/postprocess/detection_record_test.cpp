#include "postprocess/detection_record.hpp"

#include <gtest/gtest.h>

#include <cmath>

// A file name may hold any byte: quotes, backslashes and control characters
// are escaped, so the record stays one line of valid JSON; a score that is
// not a number is written as 0 (JSON has no NaN); the latency is the time
// from grab to shown, and only the origin fields that apply are written.
TEST(DetectionRecord, IsOneLineOfValidJsonWhateverTheNames) {
    DetectionRecord r;
    r.frame = 7;
    r.origin.source = "glob";
    r.origin.image = "a\"b\\c\nd.png";
    r.shown = r.grabbed + std::chrono::microseconds(12500);
    r.ms_since_start = 1000.25;
    r.threshold_probability = 0.275f;
    r.threshold_overlap = 0.5f;
    DetectionEntry e;
    e.class_id = 11;
    e.class_name = "dog";
    e.score = std::nanf("");
    e.source_box = BB{1.5f, 20.0f, 3.0f, 40.0f};
    e.canvas_box = BB{0.0f, 10.0f, 2.0f, 30.0f};
    r.detections.push_back(e);
    EXPECT_EQ(detection_record_json(r),
              "{\"frame\":7,\"source\":\"glob\",\"image\":\"a\\\"b\\\\c\\u000ad.png\",\"ms\":1000.25,"
              "\"threshold_probability\":0.275,\"threshold_overlap\":0.5,\"latency_ms\":12.5,\"detections\":["
              "{\"class_id\":11,\"class\":\"dog\",\"score\":0,\"box\":{\"left\":1.5,\"top\":3,\"right\":20,"
              "\"bottom\":40},\"canvas_box\":{\"left\":0,\"top\":2,\"right\":10,\"bottom\":30}}]}");
    r.origin.image.clear();
    r.origin.video_frame = 0;
    r.detections.clear();
    const std::string video = detection_record_json(r);
    EXPECT_NE(video.find("\"source\":\"glob\",\"video_frame\":0,\"ms\""), std::string::npos) << video;
    EXPECT_NE(video.find("\"detections\":[]}"), std::string::npos) << video;
}
