// The command line of board_check.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace board_check {

// A bad option: printed with the usage, status 2.
struct OptionsError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string config_path;  // the demonstrators' file unless --config
    std::string json_path;    // empty: no JSON
    bool weights = false;
    bool verbose = false;
    bool help = false;
};

// The arguments after the program name ("--flag value" or "--flag=value").
Options parse_options(const std::vector<std::string>& args);

std::string usage();

}  // namespace board_check
