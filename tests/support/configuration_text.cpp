#include "tests/support/configuration_text.hpp"

#include <sstream>

namespace test_support {

std::string configuration_text(const ConfigurationSettings& s) {
    std::ostringstream y;
    y << "YoloConfiguration:\n"
      << "  path_scaling_parameters: \"" << s.path_scaling_parameters << "\"\n"
      << "  path_weights_biases: \"" << s.path_weights_biases << "\"\n"
      << "  address_data: 0x02000000\n"
      << "  address_output: 0x02080000\n"
      << "  offset_pingpong: 0x00100000\n"
      << "DemoConfiguration:\n"
      << "  data_source: " << s.data_source << "\n"
      << "  data_fit: " << s.data_fit << "\n"
      << "  path_image_glob: \"" << s.path_image_glob << "\"\n"
      << "  image_extension: " << s.image_extension << "\n"
      << "  capture_source: " << s.capture_source << "\n"
      << "  capture_flip: true\n"
      << (s.path_video.empty() ? "" : "  path_video: \"" + s.path_video + "\"\n")
      << "  displaytime_image: " << s.displaytime_image << "\n"
      << "  memory_spaces: " << s.memory_spaces << "\n"
      << "  fullscreen: false\n"
      << "  debug: " << (s.debug ? "true" : "false") << "\n"
      << "  ignore_duplicate_frames: " << (s.ignore_duplicate_frames ? "true" : "false") << "\n"
      << "NetworkConfiguration:\n"
      << "  ip_address: 127.0.0.1\n"
      << "  udp_port: " << s.udp_port << "\n"
      << "  packet_size: " << s.packet_size << "\n"
      << "  write_rate_limit: " << s.write_rate_limit << "\n";
    return y.str();
}

}  // namespace test_support
