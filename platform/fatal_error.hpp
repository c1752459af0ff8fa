// The one way a situation the program cannot go on from leaves the code that
// found it: an error carrying the exact lines for the error stream. Library
// code raises it on any thread; the main thread takes it, stops the window,
// source and upload threads, writes the lines and ends with status 1.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class exception_fatal : public std::runtime_error {
public:
    // Where the lines go. A few file-loading messages have always gone to
    // standard output, and one of them has no line break after it.
    enum class Stream { error, output };

    explicit exception_fatal(std::vector<std::string> lines, Stream stream = Stream::error,
                             bool last_line_ended = true)
        : std::runtime_error(lines.empty() ? std::string() : lines.front()),
          lines_(std::move(lines)),
          stream_(stream),
          last_line_ended_(last_line_ended) {}

    // The lines, each without its line break, in the order they are written.
    const std::vector<std::string>& lines() const { return lines_; }
    Stream stream() const { return stream_; }
    bool last_line_ended() const { return last_line_ended_; }

    // The lines exactly as the program ends with them, line breaks included.
    std::string text() const {
        std::string all;
        for (size_t i = 0; i < lines_.size(); ++i) {
            all += lines_[i];
            if (i + 1 < lines_.size() || last_line_ended_) all += '\n';
        }
        return all;
    }

    // Writes text() to `error` or `output` as stream() says, and flushes.
    void write(std::ostream& output, std::ostream& error) const {
        std::ostream& to = stream_ == Stream::output ? output : error;
        to << text() << std::flush;
    }

private:
    std::vector<std::string> lines_;
    Stream stream_;
    bool last_line_ended_;
};
