// The configuration file every program reads unless told otherwise.
#pragma once

// Relative to the working directory.
constexpr const char* CONFIGURATION_PATH = "../configuration/demo_parameters_windows.yaml";
