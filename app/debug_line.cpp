#include "app/debug_line.hpp"

#include <cstdio>
#include <initializer_list>

namespace {

std::string ms(int64_t us) {
    char text[64];
    std::snprintf(text, sizeof text, "%7.3f", static_cast<double>(us) / 1000.0);
    return text;
}

}  // namespace

std::string debug_line(const CycleTimings& t, DebugLineForm form) {
    const bool two_space = form == DebugLineForm::two_space;
    const std::string after_step = two_space ? "" : "/";
    std::string line;
    line += "u: " + ms(t.upload_us) + " ";
    line += "p: " + ms(t.post_us) + " ";
    line += "c: " + ms(t.upload_us + t.post_us) + " ";
    line += "f: " + ms(t.core_us) + " ";
    line += std::string("(") + (t.waited ? "1" : "0") + ")" + " " + " | ";
    for (int64_t us : {t.upload.grab_us, t.upload.prepare_us, t.upload.upload_us}) line += ms(us) + after_step;
    line += " | ";
    for (int64_t us : {t.post.download_us, t.post.hash_us, t.post.dequantise_us, t.post.postprocess_us})
        line += ms(us) + after_step;
    if (two_space) {
        line += " | ";
        for (int64_t us : {t.post.decode_us, t.post.nms_us, t.post.resize_us, t.post.boxes_us, t.post.overlay_us})
            line += ms(us);
    }
    return line;
}
