#include "tests/e2e/e2e_harness.hpp"

#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace e2e {

// ---------------------------------------------------------------- text

size_t count_matching(const std::vector<std::string>& lines, const std::regex& pattern) {
    size_t n = 0;
    for (const auto& line : lines) n += std::regex_match(line, pattern);
    return n;
}

bool foreign_line(const std::string& line) {
    static const char* const prefixes[] = {"[ WARN:",
                                           "[ INFO:",
                                           "[ERROR:",
                                           "QStandardPaths:",
                                           "qt.qpa",
                                           "XGetInputFocus",
                                           "WARNING: Receive buffer size to small for stream reads",
                                           "\tDefault buffer size:\t",
                                           "\tReceive buffer size:\t",
                                           "\tDesired receive buffer size:\t"};
    for (const char* prefix : prefixes)
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

std::string tail(const std::string& text, size_t bytes) {
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// ---------------------------------------------------------------- X server

XServer::XServer(const fs::path& log_folder) {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
        if (const char* ambient = std::getenv("DISPLAY")) display = ambient;
        return;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    Process::Options options;
    options.argv = {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
                    "-noreset"};
    options.out = log_folder / "xvfb.out";
    options.err = log_folder / "xvfb.err";
    options.fd3 = fds[1];
    server = std::make_unique<Process>(options);
    ::close(fds[1]);
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    const auto deadline = Clock::now() + 15s;
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buffer[32];
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got <= 0) break;
            number.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) throw std::runtime_error("Xvfb did not start");
    display = ":" + number.substr(0, number.find('\n'));
}

XServer::~XServer() {
    if (server) {
        server->signal(SIGTERM);
        if (!server->wait_exit(5s)) server->kill_now();
    }
}

std::string XServer::run(const std::string& command) const { return shell("env DISPLAY=" + display + " " + command); }

bool Window::find(std::chrono::milliseconds limit) {
    return poll_until(
        [this] {
            const std::string found =
                x.run("xdotool search --onlyvisible --pid " + std::to_string(pid) + " --name '^output$' 2>/dev/null");
            id = found.substr(0, found.find('\n'));
            return !id.empty();
        },
        limit);
}

void Window::keys(const std::string& names) const { x.run("xdotool key --window " + id + " " + names + " 2>/dev/null"); }

cv::Mat Window::screenshot(const fs::path& file) const {
    x.run("sh -c 'xwd -silent -id " + id + " | convert xwd:- png:" + file.string() + "' 2>/dev/null");
    return cv::imread(file.string(), cv::IMREAD_COLOR);
}

// ---------------------------------------------------------------- sandbox

fs::path repository() { return VISIONDEMO_SOURCE_DIR; }
fs::path repository_scenes() { return repository() / "data" / "scenes"; }

Sandbox::Sandbox() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vd_e2e_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    root = buffer.data();
    fs::create_directories(root / "configuration");
    fs::create_directories(root / "run");
    fs::create_directories(root / "data" / "scenes");
    // Qt wants a private runtime folder.
    fs::create_directories(root / "xdg");
    fs::permissions(root / "xdg", fs::perms::owner_all, fs::perm_options::replace);
    for (const char* name : {"mox_logo.png", "pyr_logo.png", "weights.txt", "scaling_parameters.bin"})
        fs::create_symlink(repository() / "data" / name, root / "data" / name);
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    if (!keep) fs::remove_all(root, ignored);
}

void Sandbox::add_scenes(const std::vector<std::string>& names) {
    for (const auto& name : names) fs::copy_file(repository_scenes() / name, root / "data" / "scenes" / name);
}

// ---------------------------------------------------------------- programs

const char* demo_binary(bool serial) { return serial ? VISIONDEMO_SERIAL_BIN : VISIONDEMO_BIN; }

Emulator::Emulator(const Sandbox& box, const std::vector<std::string>& flags) {
    Process::Options options;
    options.argv = {BOARD_EMULATOR_BIN, "--config", box.configuration().string(), "--port", "0",
                    "--weights", (box.root / "data" / "weights.txt").string()};
    options.argv.insert(options.argv.end(), flags.begin(), flags.end());
    options.cwd = box.run();
    options.out = box.run() / "emulator.out";
    options.err = box.run() / "emulator.err";
    options.foreign_err_line = foreign_line;
    process = std::make_unique<Process>(options);
    const std::regex listening(R"(listening on [0-9.]+:([0-9]+))");
    std::smatch match;
    const bool up = process->wait_out(
        [&](const std::vector<std::string>& lines) {
            return !lines.empty() && std::regex_match(lines.front(), match, listening);
        },
        15s);
    if (!up) throw std::runtime_error("board_emulator did not start: " + process->err());
    const std::string first = process->out_lines().front();
    std::regex_match(first, match, listening);
    port = std::stoi(match[1].str());
}

::testing::AssertionResult Emulator::clean_summary() {
    process->signal(SIGTERM);
    if (!exited_with(process->wait_exit(15s), 0))
        return ::testing::AssertionFailure() << "board_emulator did not end with status 0 after SIGTERM";
    const std::vector<std::string> lines = process->out_lines();
    auto count = [&](const std::string& name) -> long {
        const std::string prefix = "  " + name + ": ";
        for (const auto& line : lines)
            if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
        return -1;
    };
    // Receive-buffer overflows are not among them: on a loaded machine a
    // paced host still overflows the board's buffer now and then (a datagram
    // in some hundred runs), for a reason not yet understood; a lost upload
    // datagram shows as wrong boxes where it matters.
    std::string unclean;
    for (const char* name : {"malformed requests", "protocol errors", "runs without valid weights"})
        if (count(name) != 0) unclean += std::string(unclean.empty() ? "" : ", ") + name + " " + std::to_string(count(name));
    if (!unclean.empty())
        return ::testing::AssertionFailure() << "board_emulator summary not clean: " << unclean
                                             << " (emulator.out holds the summary)";
    return ::testing::AssertionSuccess();
}

std::unique_ptr<Process> start_demo(const Sandbox& box, bool serial, const std::string& display,
                                    const std::string& log_name, const std::vector<std::string>& arguments) {
    Process::Options options;
    options.argv = {demo_binary(serial)};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.cwd = box.run();
    options.out = box.run() / (log_name + ".out");
    options.err = box.run() / (log_name + ".err");
    options.env = {display.empty() ? "DISPLAY" : "DISPLAY=" + display, "WAYLAND_DISPLAY",
                   "XDG_RUNTIME_DIR=" + (box.root / "xdg").string()};
    options.foreign_err_line = foreign_line;
    return std::make_unique<Process>(options);
}

// ---------------------------------------------------------------- console formats

const std::string WIDE_NUMBER = R"((?=[ \d]*[ \d]{2}\d\.) *\d+\.\d{3})";
const std::string NUMBER_7 = R"((?=[ \d]{3}\.) *\d+\.\d{3})";

const std::regex& frame_line() {
    static const std::string n = WIDE_NUMBER;
    static const std::string rate = "(?:" + n + "| {4,}inf)";
    static const std::regex pattern(R"(\(avg/recent/now\) duration \[ms\])" + n + "/" + n + "/" + n + R"( \| fps )" +
                                    rate + "/" + rate + "/" + rate + R"( \| frameno (?=[ \d]{3}) *\d+)");
    return pattern;
}

const std::string& debug_prefix() {
    static const std::string n = NUMBER_7;
    static const std::string prefix =
        "u: (" + n + ") p: (" + n + ") c: (" + n + ") f: " + n + R"( \([01]\)  \| )";
    return prefix;
}

const std::regex& one_space_debug_line() {
    static const std::string n = NUMBER_7;
    static const std::regex pattern(debug_prefix() + n + "/" + n + "/" + n + R"(/ \| )" + n + "/" + n + "/" + n +
                                    "/" + n + "/");
    return pattern;
}

const std::regex& two_space_debug_line() {
    static const std::string n = NUMBER_7;
    static const std::regex pattern(debug_prefix() + n + n + n + R"( \| )" + n + n + n + n + R"( \| )" + n + n + n +
                                    n + n);
    return pattern;
}

const std::regex& any_debug_line() {
    static const std::regex pattern(debug_prefix() + ".*");
    return pattern;
}

size_t frame_lines(const std::vector<std::string>& lines) { return count_matching(lines, frame_line()); }

std::vector<std::string> before_summary(const std::vector<std::string>& lines) {
    const size_t at = find_line(lines, "INFO: Session summary");
    return at == std::string::npos ? lines : std::vector<std::string>(lines.begin(), lines.begin() + at);
}

double summary_value(const std::vector<std::string>& lines, const std::string& name) {
    const size_t at = find_line(lines, "INFO: Session summary");
    if (at == std::string::npos) return -1;
    const std::string prefix = "\t" + name + ":\t";
    for (size_t i = at + 1; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return std::stod(lines[i].substr(prefix.size()));
    return -1;
}

// ---------------------------------------------------------------- fixture

void DemoTest::SetUp() {
    if (!have_tool("xdotool") || !have_tool("xwd") || !have_tool("convert"))
        GTEST_SKIP() << "xdotool, xwd or convert (ImageMagick) missing";
    x = std::make_unique<XServer>(box.run());
    if (!x->available()) GTEST_SKIP() << "no X server (Xvfb or DISPLAY)";
}

void DemoTest::TearDown() {
    if (demo) demo->kill_now();
    if (emulator && !HasFailure()) {
        EXPECT_TRUE(emulator->clean_summary());
    }
    if (emulator) emulator->process->kill_now();
    if (HasFailure()) {
        for (const auto& entry : fs::directory_iterator(box.run())) {
            const auto ext = entry.path().extension();
            if (ext == ".out" || ext == ".err")
                std::cerr << "---- " << entry.path().filename().string() << "\n" << tail(read_file(entry.path())) << "\n";
        }
        if (std::getenv("VD_E2E_KEEP")) {
            box.keep = true;
            std::cerr << "sandbox kept in " << box.root << "\n";
        }
    }
}

void DemoTest::start_emulator(Settings settings, const std::vector<std::string>& flags) {
    box.write_configuration(settings);
    emulator = std::make_unique<Emulator>(box, flags);
    settings.udp_port = emulator->port;
    box.write_configuration(settings);
}

::testing::AssertionResult DemoTest::running(Window& window, size_t frames) {
    if (!window.find()) return ::testing::AssertionFailure() << "no window appeared";
    const size_t before = frame_lines(demo->out_lines());
    if (!demo->wait_out([&](const auto& lines) { return frame_lines(lines) >= before + frames; }, 30s))
        return ::testing::AssertionFailure() << "no frames after the window appeared";
    return ::testing::AssertionSuccess();
}

bool DemoTest::press_until_line(Window& window, const std::string& key, const std::string& line) {
    const size_t before = count_lines(demo->out_lines(), line);
    for (int attempt = 0; attempt < 3; ++attempt) {
        window.keys(key);
        if (demo->wait_out([&](const auto& lines) { return count_lines(lines, line) > before; }, 5s)) return true;
    }
    return false;
}

}  // namespace e2e
