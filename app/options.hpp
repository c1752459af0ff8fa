// The command line of visiondemo and visiondemo_serial.
#pragma once

#include "records/configuration_path.hpp"

#include <stdexcept>
#include <string>
#include <vector>

// A bad option or option value: the program prints it with the usage to the
// error stream and ends with status 2.
struct OptionsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct DemoOptions {
    // Without --config, the file the programs have always read.
    std::string config_path = CONFIGURATION_PATH;
    // Video file that receives every canvas the window shows; empty: none.
    std::string record_path;
    // Per-frame timeline file; empty: none.
    std::string trace_path;
    // The stream server's address and port; port -1: no server.
    std::string stream_host = "127.0.0.1";
    int stream_port = -1;
    // --detections FILE: the detections of every shown frame, one JSON object a line.
    std::string detections_path;
    bool help = false;
    bool version = false;
};

// Parses the arguments after the program name ("--flag value" or
// "--flag=value"); raises OptionsError.
DemoOptions parse_demo_options(const std::vector<std::string>& args);

// The usage text of `program`, with the configuration file's keys.
std::string demo_usage(const std::string& program);

// "<program> <version>".
std::string demo_version(const std::string& program);
