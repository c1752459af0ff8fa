// The board_emulator program as a process: help, bad flags, the first line,
// and an orderly end on SIGTERM. Its output goes to files, so nothing it
// wrote is missed however late the test reads.
#include "request_builder.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/temp_folder.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using test_support::ChildProcess;

namespace {

// A run of the program with `args`, its output in files of the folder.
std::unique_ptr<ChildProcess> start_program(const TempFolder& folder, const std::string& name,
                                            const std::vector<std::string>& args) {
    ChildProcess::Options options;
    options.argv = {BOARD_EMULATOR_BIN};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.out = folder.path + "/" + name + ".out";
    options.err = folder.path + "/" + name + ".err";
    return std::make_unique<ChildProcess>(options);
}

// The exit status, or -1 when it did not end within the limit.
int exit_status(ChildProcess& p, std::chrono::milliseconds limit) {
    const auto status = p.wait_exit(limit);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

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
    const TempFolder folder;
    {
        auto p = start_program(folder, "help", {"--help"});
        EXPECT_EQ(exit_status(*p, 10s), 0);
        for (const char* flag : {"--config", "--port", "--core-us", "--drop-nth", "--status-from-run", "--stats-every"})
            EXPECT_NE(p->out().find(flag), std::string::npos) << flag;
    }
    {
        auto p = start_program(folder, "flag", {"--no-such-flag"});
        EXPECT_EQ(exit_status(*p, 10s), 2);
        EXPECT_NE(p->err().find("--no-such-flag"), std::string::npos) << p->err();
    }
    {
        auto p = start_program(folder, "config", {"--config", "/nonexistent/config.yaml"});
        EXPECT_EQ(exit_status(*p, 10s), 2);
        EXPECT_NE(p->err().find("/nonexistent/config.yaml"), std::string::npos) << p->err();
    }
    {
        auto p = start_program(folder, "model", {"--config", config_file(), "--port", "0", "--model", "replay:/nonexistent/block.bin"});
        EXPECT_EQ(exit_status(*p, 10s), 2);
        EXPECT_NE(p->err().find("/nonexistent/block.bin"), std::string::npos) << p->err();
    }
}

TEST(EmulatorProgram, ListensOnTheBoundPortAndEndsWithASummary) {
    const TempFolder folder;
    auto p = start_program(folder, "serve", {"--config", config_file(), "--port", "0", "--stats-every", "0.05", "--verbose"});
    ASSERT_TRUE(p->wait_out([](const auto& lines) { return !lines.empty(); }, 30s)) << p->err();
    const std::string first = p->out_lines().front();
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
    ASSERT_EQ(poll(&pf, 1, 30000), 1);
    uint8_t reply[16];
    EXPECT_EQ(recv(fd, reply, sizeof reply, 0), 6);
    close(fd);

    // The verbose line of the request, and the counters every 50 ms.
    const auto has = [](const std::vector<std::string>& lines, const std::string& start) {
        for (const auto& line : lines)
            if (line.rfind(start, 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(p->wait_out([&](const auto& lines) { return has(lines, "request: init"); }, 30s)) << p->out();
    EXPECT_TRUE(p->wait_out([&](const auto& lines) { return has(lines, "stats: "); }, 30s)) << p->out();

    p->signal(SIGTERM);
    EXPECT_EQ(exit_status(*p, 30s), 0);
    const std::string out = p->out();
    EXPECT_NE(out.find("summary:"), std::string::npos) << out;
    EXPECT_NE(out.find("requests init: 1"), std::string::npos) << out;
}
