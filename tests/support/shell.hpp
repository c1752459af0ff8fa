// Small helpers for tests that drive outside programs (xdotool, xwd, the
// built programs): a bounded shell command and polling with a deadline.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace test_support {

// Polls `done` every 10 ms until it holds or `limit` has passed.
template <typename Predicate>
bool poll_until(Predicate done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

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
