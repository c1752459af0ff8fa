// Command line and configuration file of the board_emulator program.
#pragma once

#include "emulator/counters.hpp"
#include "emulator/settings.hpp"
#include "records/configuration_path.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A bad flag or flag value (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An unreadable or incomplete configuration (exit status 2).
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ProgramOptions {
    EmulatorSettings settings;
    std::string config_path = CONFIGURATION_PATH;
    std::optional<std::string> bind;  // flags win over the configuration
    std::optional<uint16_t> port;
    std::optional<double> drain_mibps;  // unset: 1.25 x the configuration's write_rate_limit
    double stats_every = 0.0;  // seconds; 0: off
    bool help = false;
};

// Parses the arguments after the program name; throws UsageError.
ProgramOptions parse_arguments(const std::vector<std::string>& args);

// Reads the host's YAML file (address and port, the three board addresses and
// the scaling parameters) into options.settings; throws ConfigError.
void apply_configuration(ProgramOptions& options);

std::string usage_text();
