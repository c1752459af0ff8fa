#include "app/frame_loop.hpp"

#include "app/board.hpp"
#include "remote/json_text.hpp"

void report_loop_reset(const exception_reset& error) {
    std::cerr << "Caught exception" << std::endl;
    std::cerr << error.what() << std::endl;
    reset.store(true);
    stop.store(true);
}

std::string detections_json(const PostProcessWorker& output, const PostProcessing& post) {
    std::string out = "[";
    const uint64_t count = output.get_detection_count();
    for (uint64_t i = 0; i < count; ++i) {
        const int class_id = output.get_detection_classes()[i];
        const float score = output.get_detection_probs()[i];
        const BB& box = output.get_detection_bbs()[i];
        const bool named = class_id >= 0 && static_cast<size_t>(class_id) < post.labels.size();
        if (i > 0) out += ',';
        out += "{\"class_id\":" + std::to_string(class_id) +
               ",\"class_name\":" + json_string(named ? post.labels[class_id] : std::string()) +
               ",\"score\":" + json_number(score) + ",\"box\":[" + json_number(box.left, 1) + ',' +
               json_number(box.top, 1) + ',' + json_number(box.right, 1) + ',' + json_number(box.bottom, 1) + "]}";
    }
    return out + ']';
}
