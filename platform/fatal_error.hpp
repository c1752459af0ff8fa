// The one way a situation the program cannot go on from leaves the code that
// found it: an error carrying the exact lines for the error stream. Library
// code raises it on any thread; the main thread takes it, stops the window,
// source and upload threads, writes the lines and ends with status 1.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class exception_fatal : public std::runtime_error {
public:
    explicit exception_fatal(std::vector<std::string> lines)
        : std::runtime_error(lines.empty() ? std::string() : lines.front()), lines_(std::move(lines)) {}

    // The lines, each without its line break, in the order they are written.
    const std::vector<std::string>& lines() const { return lines_; }

private:
    std::vector<std::string> lines_;
};
