#include "tests/support/child_process.hpp"

#include "tests/support/poll.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace test_support {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> complete_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(text.substr(begin, end - begin));
    return lines;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& exact) {
    size_t n = 0;
    for (const auto& line : lines) n += line == exact;
    return n;
}

size_t find_line(const std::vector<std::string>& lines, const std::string& exact, size_t from) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i] == exact) return i;
    return std::string::npos;
}

std::string describe_status(const std::optional<int>& status) {
    if (!status) return "still running";
    if (WIFEXITED(*status)) return "exit status " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
    return "wait status " + std::to_string(*status);
}

bool exited_with(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

ChildProcess::ChildProcess(const Options& options)
    : out_path(options.out), err_path(options.err), foreign_err_line(options.foreign_err_line) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& change : options.env)
            if (change.substr(0, change.find('=')) == name) replaced = true;
        if (!replaced) env_strings.push_back(entry);
    }
    for (const auto& change : options.env)
        if (change.find('=') != std::string::npos) env_strings.push_back(change);

    std::vector<char*> argv;
    for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    // Everything the child needs is prepared before the fork: between fork
    // and exec only system calls run.
    const int in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out_fd = ::open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = ::open(options.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int exec_pipe[2] = {-1, -1};  // carries errno of a failed exec
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::pipe2(exec_pipe, O_CLOEXEC) != 0) {
        for (int fd : {in_fd, out_fd, err_fd, exec_pipe[0], exec_pipe[1]})
            if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot set up the output files of " + options.argv[0]);
    }
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) {
        // A group of its own, so that teardown ends whatever it started and a
        // Ctrl-C typed at the test does not reach it behind our back; and
        // killed with the test process, however that ends.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        if (options.fd3 == 3)
            ::fcntl(3, F_SETFD, 0);
        else if (options.fd3 >= 0)
            ::dup2(options.fd3, 3);
        ::dup2(in_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            const int e = errno;
            (void)!::write(exec_pipe[1], &e, sizeof e);
            ::_exit(127);
        }
        ::execve(argv[0], argv.data(), envp.data());
        const int e = errno;
        (void)!::write(exec_pipe[1], &e, sizeof e);
        ::_exit(127);
    }
    if (pid > 0) ::setpgid(pid, pid);
    ::close(in_fd);
    ::close(out_fd);
    ::close(err_fd);
    ::close(exec_pipe[1]);
    int error = pid < 0 ? errno : 0;
    if (pid > 0) {
        // The pipe closes on a successful exec; a failed one sends errno.
        if (::read(exec_pipe[0], &error, sizeof error) != sizeof error) error = 0;
        if (error != 0) reap(true);
    }
    ::close(exec_pipe[0]);
    if (error != 0) throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(error));
}

ChildProcess::~ChildProcess() { kill_now(); }

bool ChildProcess::running() {
    reap(false);
    return !status;
}

void ChildProcess::signal(int number) {
    if (!status) ::kill(pid, number);
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    poll_until([this] { return !running(); }, limit);
    return status;
}

void ChildProcess::kill_now() {
    if (pid <= 0 || status) return;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    reap(true);
}

std::vector<std::string> ChildProcess::err_lines() const {
    std::vector<std::string> lines = complete_lines(err());
    if (!foreign_err_line) return lines;
    std::vector<std::string> own;
    for (auto& line : lines)
        if (!foreign_err_line(line)) own.push_back(std::move(line));
    return own;
}

bool ChildProcess::wait_out(const std::function<bool(const std::vector<std::string>&)>& test,
                            std::chrono::milliseconds limit) {
    return wait_lines([this] { return out_lines(); }, test, limit);
}

bool ChildProcess::wait_err(const std::function<bool(const std::vector<std::string>&)>& test,
                            std::chrono::milliseconds limit) {
    return wait_lines([this] { return err_lines(); }, test, limit);
}

bool ChildProcess::wait_lines(const std::function<std::vector<std::string>()>& lines,
                              const std::function<bool(const std::vector<std::string>&)>& test,
                              std::chrono::milliseconds limit) {
    bool ended = false;
    const bool ok = poll_until(
        [&] {
            if (test(lines())) return true;
            if (ended) return true;
            ended = !running();  // one more look after the end
            return false;
        },
        limit);
    return ok && test(lines());
}

void ChildProcess::reap(bool block) {
    if (pid <= 0 || status) return;
    int raw = 0;
    const pid_t got = ::waitpid(pid, &raw, block ? 0 : WNOHANG);
    if (got == pid) status = raw;
}

}  // namespace test_support
