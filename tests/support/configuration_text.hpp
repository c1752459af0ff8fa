// The programs' YAML configuration as tests write it: every key, with values
// that suit a run against the emulator on this machine; a test changes the
// ones it is about.
#pragma once

#include <cstdint>
#include <string>

namespace test_support {

struct ConfigurationSettings {
    std::string path_scaling_parameters = "../data/scaling_parameters.bin";
    std::string path_weights_biases = "../data/weights.txt";
    std::string data_source = "image";
    std::string data_fit = "box";
    std::string path_image_glob = "../data/scenes";
    std::string image_extension = "png";
    uint64_t capture_source = 63;  // no camera has this number
    int displaytime_image = 60000;
    int memory_spaces = 2;
    bool debug = false;
    bool ignore_duplicate_frames = false;
    std::string path_video;  // empty: the key is left out
    int udp_port = 0;
    int packet_size = 8192;
    int write_rate_limit = 100;
};

std::string configuration_text(const ConfigurationSettings& s);

}  // namespace test_support
