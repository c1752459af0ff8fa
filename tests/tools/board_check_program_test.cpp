// The board_check program as a process: its exit statuses, and the one
// line it ends with when nothing answers.
#include "tests/support/child_process.hpp"
#include "tests/support/configuration_text.hpp"
#include "tests/support/temp_folder.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using test_support::ChildProcess;

namespace {

std::unique_ptr<ChildProcess> start_check(const TempFolder& folder, const std::vector<std::string>& args) {
    ChildProcess::Options options;
    options.argv = {BOARD_CHECK_BIN};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.out = folder.path + "/check.out";
    options.err = folder.path + "/check.err";
    return std::make_unique<ChildProcess>(options);
}

int exit_status(ChildProcess& p, std::chrono::milliseconds limit) {
    const auto status = p.wait_exit(limit);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

// A loopback port that nothing listens on: bound for a moment, then freed.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

// Faults: a silent board that keeps the tool waiting, buries the reason
// under later checks or link chatter, or ends with success; a JSON report
// that leaves the skipped checks out; a value written as --flag=value lost.
TEST(BoardCheckProgram, NothingListeningEndsWithOneLineAndStatus1) {
    TempFolder folder;
    test_support::ConfigurationSettings settings;
    settings.udp_port = free_port();
    const std::string config = folder.path + "/config.yaml";
    test_support::write_file(config, test_support::configuration_text(settings));
    auto check = start_check(folder, {"--config", config, "--json=" + folder.path + "/check.json"});
    EXPECT_EQ(exit_status(*check, 5s), 1);
    const std::vector<std::string> lines = check->out_lines();
    ASSERT_EQ(lines.size(), 1u) << check->out();
    EXPECT_EQ(lines[0].rfind("FAIL  reach", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("127.0.0.1:" + std::to_string(settings.udp_port)), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("off, still booting"), std::string::npos) << lines[0];
    EXPECT_EQ(check->err(), "");
    const std::string json = test_support::read_file(folder.path + "/check.json");
    EXPECT_NE(json.find("{\"name\": \"core run\", \"verdict\": \"SKIP\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"exit_status\": 1"), std::string::npos) << json;
}

// Faults: a bad option or an unreadable configuration taken for a failed
// board (status 1) or for success.
TEST(BoardCheckProgram, BadOptionsAndConfigurationEndWithStatus2) {
    TempFolder folder;
    const std::vector<std::vector<std::string>> cases{
        {"--no-such-option"}, {"--config"}, {"--config", folder.path + "/missing.yaml"}, {"--weights=yes"}};
    for (const auto& args : cases) {
        auto check = start_check(folder, args);
        EXPECT_EQ(exit_status(*check, 10s), 2) << args[0];
        EXPECT_EQ(check->out(), "") << args[0];
        EXPECT_NE(check->err(), "") << args[0];
    }
    auto help = start_check(folder, {"--help"});
    EXPECT_EQ(exit_status(*help, 10s), 0);
    EXPECT_NE(help->out().find("--json FILE"), std::string::npos);
}
