// A program run as a child process by a test: standard input from /dev/null,
// standard output and error into files (so that nothing it wrote is lost,
// however late the test reads), and every wait bounded. Killed (its whole
// process group) and reaped on destruction unless it has already ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& text);

// Complete lines only: a last line still being written (no line end yet) is
// left out, so that a test never judges half a line.
std::vector<std::string> complete_lines(const std::string& text);
size_t count_lines(const std::vector<std::string>& lines, const std::string& exact);
// Index of the first line equal to `exact` at or after `from`, or npos.
size_t find_line(const std::vector<std::string>& lines, const std::string& exact, size_t from = 0);

// "exit status N", "killed by signal N" or "still running".
std::string describe_status(const std::optional<int>& status);
bool exited_with(const std::optional<int>& status, int code);

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;
        std::filesystem::path cwd;
        std::filesystem::path out;
        std::filesystem::path err;
        // Environment changes: "NAME=value" sets, "NAME" alone removes.
        std::vector<std::string> env;
        // Extra descriptor passed to the child as descriptor 3 (or -1).
        int fd3 = -1;
        // Lines of the error stream that err_lines() leaves out (messages of
        // the libraries underneath rather than the program's own).
        std::function<bool(const std::string&)> foreign_err_line;
    };

    // Throws std::runtime_error when the program cannot be started.
    explicit ChildProcess(const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t id() const { return pid; }
    bool running();
    void signal(int number);
    // Waits for the end; the raw wait status, or nothing when it still runs
    // at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds limit);
    void kill_now();

    std::string out() const { return read_file(out_path); }
    std::string err() const { return read_file(err_path); }
    std::vector<std::string> out_lines() const { return complete_lines(out()); }
    std::vector<std::string> err_lines() const;

    // Waits until the complete lines of standard output (or error) satisfy
    // `test`, giving up early when the process has ended.
    bool wait_out(const std::function<bool(const std::vector<std::string>&)>& test, std::chrono::milliseconds limit);
    bool wait_err(const std::function<bool(const std::vector<std::string>&)>& test, std::chrono::milliseconds limit);

    const std::filesystem::path out_path;
    const std::filesystem::path err_path;

private:
    bool wait_lines(const std::function<std::vector<std::string>()>& lines,
                    const std::function<bool(const std::vector<std::string>&)>& test, std::chrono::milliseconds limit);
    void reap(bool block);

    std::function<bool(const std::string&)> foreign_err_line;
    pid_t pid = -1;
    std::optional<int> status;
};

}  // namespace test_support
