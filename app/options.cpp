#include "app/options.hpp"
#include "records/flag_argument.hpp"

#include <cctype>
#include <optional>

#ifndef VISIONDEMO_VERSION
#define VISIONDEMO_VERSION "unknown"
#endif

namespace {

// "[ADDR:]PORT": the port a decimal number up to 65535 (0: any free port),
// the address anything but empty before the last colon.
void parse_stream_address(const std::string& value, DemoOptions& options) {
    const auto colon = value.rfind(':');
    const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
    if (colon != std::string::npos) {
        options.stream_host = value.substr(0, colon);
        if (options.stream_host.empty()) throw OptionsError("--stream needs an address before the colon");
    }
    if (port.empty() || port.size() > 5) throw OptionsError("--stream needs a port number, not \"" + value + "\"");
    for (const char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            throw OptionsError("--stream needs a port number, not \"" + value + "\"");
    options.stream_port = std::stoi(port);
    if (options.stream_port > 65535) throw OptionsError("--stream port " + port + " is above 65535");
}

}  // namespace

DemoOptions parse_demo_options(const std::vector<std::string>& args) {
    DemoOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const FlagArgument argument = split_flag(args[i]);
        const std::string& flag = argument.flag;
        const std::optional<std::string>& inline_value = argument.value;
        auto no_value = [&] {
            if (inline_value) throw OptionsError(flag + " takes no value");
        };
        // A file name: the next argument (or the text after '='), never empty.
        auto file_value = [&]() -> std::string {
            std::string value;
            if (inline_value) {
                value = *inline_value;
            } else {
                if (i + 1 >= args.size()) throw OptionsError(flag + " needs a file name");
                value = args[++i];
            }
            if (value.empty()) throw OptionsError(flag + " needs a file name");
            return value;
        };

        if (flag == "--help" || flag == "-h") {
            no_value();
            options.help = true;
        } else if (flag == "--version") {
            no_value();
            options.version = true;
        } else if (flag == "--config") {
            options.config_path = file_value();
        } else if (flag == "--record") {
            options.record_path = file_value();
        } else if (flag == "--trace") {
            options.trace_path = file_value();
        } else if (flag == "--stream") {
            if (!inline_value && i + 1 >= args.size()) throw OptionsError("--stream needs [ADDR:]PORT");
            parse_stream_address(inline_value ? *inline_value : args[++i], options);
        } else if (flag == "--detections") {
            options.detections_path = file_value();
        } else {
            throw OptionsError("unknown option \"" + args[i] + "\"");
        }
    }
    return options;
}

std::string demo_usage(const std::string& program) {
    return "usage: " + program +
           " [options]\n"
           "The host side of the FPGA object-detection demonstrator: takes frames from a camera, a\n"
           "folder of images or a video file, runs them through the board and shows the detections.\n"
           "Relative paths, on the command line and in the configuration, are taken from the\n"
           "working directory.\n"
           "\n"
           "  --config PATH   YAML configuration [" +
           CONFIGURATION_PATH +
           "]\n"
           "  --record FILE   write every canvas the window shows to a video file; the name's\n"
           "                  extension picks the container: .avi (MJPG), .mkv (MJPG), .mp4 or\n"
           "                  .mov (MPEG-4 part 2)\n"
           "  --trace FILE    write a per-frame timeline to FILE\n"
           "  --stream [ADDR:]PORT  serve the show to web browsers at http://ADDR:PORT/ (ADDR\n"
           "                  127.0.0.1 when left out, 0.0.0.0 for the whole network; PORT 0:\n"
           "                  any free port, printed at start)\n"
           "  --detections FILE\n"
           "                  write the detections of every shown frame to FILE, one JSON\n"
           "                  object a line\n"
           "  --version       print the version\n"
           "  --help          this text\n"
           "\n"
           "Keys of the configuration file (sections and keys):\n"
           "  YoloConfiguration\n"
           "    path_scaling_parameters  scaling parameters file\n"
           "    path_weights_biases      packed weights file\n"
           "    address_data             board address of the input buffers\n"
           "    address_output           board address of the output buffers\n"
           "    offset_pingpong          distance between the two buffer sets\n"
           "  DemoConfiguration\n"
           "    data_source              first frame source: capture, image or video (packed: not\n"
           "                             available)\n"
           "    data_fit                 stretch, crop or box\n"
           "    path_image_glob          folder of images\n"
           "    image_extension          extension of the images, without the dot\n"
           "    capture_source           camera device index\n"
           "    capture_flip             mirror the camera picture (true/false)\n"
           "    path_video               video file, played in a loop; required for data_source\n"
           "                             video, otherwise optional (adds the file to the sources\n"
           "                             that space steps through)\n"
           "    displaytime_image        milliseconds each image is shown; 0: arrow keys only\n"
           "    memory_spaces            1: one buffer set, 2: two alternating sets\n"
           "    fullscreen               window covers the screen (true/false)\n"
           "    debug                    per-frame stage times (optional, false)\n"
           "    ignore_duplicate_frames  skip frames a buffer set already holds (optional, false)\n"
           "  NetworkConfiguration\n"
           "    ip_address               the board's address\n"
           "    udp_port                 the board's UDP port\n"
           "    packet_size              datagram payload size in bytes\n"
           "    write_rate_limit         write pace in MiB/s\n"
           "    core_wait                how a core run's end is awaited: poll or adaptive\n"
           "                             (optional, poll)\n"
           "\n"
           "Keys in the window: Escape ends, space switches the source, r resets the board,\n"
           "q/w lower/raise the score threshold, a/s lower/raise the overlap threshold,\n"
           "left/right step through the images, h shows or hides the health panel.\n";
}

std::string demo_version(const std::string& program) { return program + " " + VISIONDEMO_VERSION; }
