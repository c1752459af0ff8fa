// Small helpers for tests that drive outside programs (xdotool, xwd, the
// built programs): a bounded shell command and whether a tool is there.
#pragma once

#include <array>
#include <cstdio>
#include <string>

namespace test_support {

// Runs a shell command, its first program bounded to 20 s, and returns its
// standard output.
inline std::string shell(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(("timeout 20 " + command).c_str(), "r");
    if (!pipe) return output;
    std::array<char, 4096> buffer{};
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), got);
    ::pclose(pipe);
    return output;
}

// Whether a program of that name is on the PATH.
inline bool have_tool(const std::string& name) { return !shell("sh -c 'command -v " + name + "'").empty(); }

}  // namespace test_support
