// The board_emulator program as a process: help, bad flags, the first line,
// and an orderly end on SIGTERM.
#include "request_builder.hpp"
#include "tests/support/temp_folder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string PROGRAM = std::string(VISIONDEMO_BINARY_DIR) + "/emulator/board_emulator";

struct Process {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string out_text, err_text;

    explicit Process(const std::vector<std::string>& args) {
        int o[2], e[2];
        EXPECT_EQ(pipe2(o, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(e, O_CLOEXEC), 0);
        pid = fork();
        if (pid == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            std::vector<char*> argv{const_cast<char*>(PROGRAM.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(PROGRAM.c_str(), argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
    }
    ~Process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(out);
        close(err);
    }
    // Reads what is there until `done` holds or the limit passes.
    void read_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!done() && Clock::now() < deadline) {
            pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            char buffer[4096];
            for (int i = 0; i < 2; ++i)
                if (fds[i].revents & (POLLIN | POLLHUP)) {
                    const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                    if (n > 0) (i == 0 ? out_text : err_text).append(buffer, size_t(n));
                }
        }
    }
    // Exit status, or -1 when it did not end within the limit.
    int wait_exit(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        int status = 0;
        while (Clock::now() < deadline) {
            read_until([] { return false; }, 10ms);  // keep the pipes drained
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                read_until([] { return false; }, 50ms);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }
};

std::string config_file() {
    static const TempFolder folder;
    const std::string dir = folder.path + "/";
    std::ofstream(dir + "program_scaling.bin", std::ios::binary) << std::string(1000, '\0');
    const std::string path = dir + "program_config.yaml";
    std::ofstream(path) << "YoloConfiguration:\n  path_scaling_parameters: " << dir
                        << "program_scaling.bin\n  address_data: 0x02000000\n  address_output: 0x02080000\n"
                           "  offset_pingpong: 0x00100000\nNetworkConfiguration:\n  ip_address: 127.0.0.1\n"
                           "  udp_port: 47000\n";
    return path;
}

}  // namespace

TEST(EmulatorProgram, HelpListsTheFlagsAndBadInputExitsWithStatus2) {
    {
        Process p({"--help"});
        EXPECT_EQ(p.wait_exit(10s), 0);
        for (const char* flag : {"--config", "--port", "--core-us", "--drop-nth", "--status-from-run", "--stats-every"})
            EXPECT_NE(p.out_text.find(flag), std::string::npos) << flag;
    }
    {
        Process p({"--no-such-flag"});
        EXPECT_EQ(p.wait_exit(10s), 2);
        EXPECT_NE(p.err_text.find("--no-such-flag"), std::string::npos) << p.err_text;
    }
    {
        Process p({"--config", "/nonexistent/config.yaml"});
        EXPECT_EQ(p.wait_exit(10s), 2);
        EXPECT_NE(p.err_text.find("/nonexistent/config.yaml"), std::string::npos) << p.err_text;
    }
    {
        Process p({"--config", config_file(), "--port", "0", "--model", "replay:/nonexistent/block.bin"});
        EXPECT_EQ(p.wait_exit(10s), 2);
        EXPECT_NE(p.err_text.find("/nonexistent/block.bin"), std::string::npos) << p.err_text;
    }
}

TEST(EmulatorProgram, ListensOnTheBoundPortAndEndsWithASummary) {
    Process p({"--config", config_file(), "--port", "0", "--stats-every", "0.05", "--verbose"});
    p.read_until([&] { return p.out_text.find('\n') != std::string::npos; }, 10s);
    const std::string first = p.out_text.substr(0, p.out_text.find('\n'));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, std::regex("listening on 127\\.0\\.0\\.1:([0-9]+)"))) << first;
    const int port = std::stoi(m[1]);
    ASSERT_GT(port, 0);

    // It answers on that port.
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const auto init = request::init(8192);
    ASSERT_EQ(send(fd, init.data(), init.size(), 0), ssize_t(init.size()));
    pollfd pf{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 5000), 1);
    uint8_t reply[16];
    EXPECT_EQ(recv(fd, reply, sizeof reply, 0), 6);
    close(fd);

    p.read_until([&] { return p.out_text.find("stats: ") != std::string::npos; }, 10s);
    EXPECT_NE(p.out_text.find("stats: "), std::string::npos);
    EXPECT_NE(p.out_text.find("request: init"), std::string::npos);  // the verbose line of the request

    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.wait_exit(10s), 0);
    EXPECT_NE(p.out_text.find("summary:"), std::string::npos);
    EXPECT_NE(p.out_text.find("requests init: 1"), std::string::npos) << p.out_text;
}
