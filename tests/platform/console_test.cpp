#include "platform/console.hpp"
#include "tests/support/poll.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A pseudo-terminal whose slave side becomes a child's standard input.
struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    ~PseudoTerminal() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    bool ok() const { return master >= 0 && slave >= 0; }
    tcflag_t local_flags() const {
        termios settings{};
        tcgetattr(slave, &settings);
        return settings.c_lflag;
    }
};

// Runs `body` in a child process with `input` as standard input and returns
// the wait status; kills the child if it has not ended within 10 s.
template <typename Body>
int run_child(int input, Body body, const std::function<void(pid_t)>& while_running = nullptr) {
    const pid_t child = fork();
    if (child == 0) {
        dup2(input, STDIN_FILENO);
        _exit(body());
    }
    if (while_running) while_running(child);
    int status = 0;
    if (!poll_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 10s)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "child did not end";
        return -1;
    }
    return status;
}

// Waits until the terminal is in raw mode (the child is inside its read).
bool wait_for_raw_mode(const PseudoTerminal& terminal) {
    return poll_until([&] { return (terminal.local_flags() & (ECHO | ICANON)) == 0; }, 10s);
}

}  // namespace

TEST(Console, WithoutATerminalPauseAndGetchReturnAtOnce) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    // The pipe stays open and empty: a read from it would block.
    const int status = run_child(pipe_fds[0], [] {
        console_pause();
        return console_getch() == -1 ? 0 : 3;
    });
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Console, GetchReadsOneKeyWithoutEchoAndRestoresTheTerminal) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    ASSERT_NE(terminal.local_flags() & ECHO, 0u);
    const int status = run_child(
        terminal.slave,
        [] {
            const int first = console_getch();
            const int second = console_getch();
            return first == 'x' && second == 27 ? 0 : 3;
        },
        [&terminal](pid_t) {
            ASSERT_TRUE(wait_for_raw_mode(terminal));
            // No line end needed, and a second key waits for the next read.
            ASSERT_EQ(write(terminal.master, "x\x1b", 2), 2);
        });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(terminal.local_flags() & ECHO, 0u);
    EXPECT_NE(terminal.local_flags() & ICANON, 0u);
    // Nothing was echoed back to the terminal.
    fcntl(terminal.master, F_SETFL, O_NONBLOCK);
    char echoed[16];
    EXPECT_LE(read(terminal.master, echoed, sizeof echoed), 0);
}

TEST(Console, CtrlCDuringGetchRestoresTheTerminalAndStillEndsTheProcess) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    const int status = run_child(
        terminal.slave, [] { return console_getch() == -1 ? 4 : 5; },
        [&terminal](pid_t child) {
            ASSERT_TRUE(wait_for_raw_mode(terminal));
            kill(child, SIGINT);
        });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_NE(terminal.local_flags() & ECHO, 0u);
    EXPECT_NE(terminal.local_flags() & ICANON, 0u);
}

TEST(Console, SignalHandledByTheProgramEndsTheReadAndKeepsItsHandler) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    const int status = run_child(
        terminal.slave,
        [] {
            static volatile sig_atomic_t seen = 0;
            signal(SIGTERM, [](int) { seen = 1; });
            const int key = console_getch();
            struct sigaction after {};
            sigaction(SIGTERM, nullptr, &after);
            const bool handler_kept = after.sa_handler != SIG_DFL && after.sa_handler != SIG_IGN;
            return key == -1 && seen == 1 && handler_kept ? 0 : 6;
        },
        [&terminal](pid_t child) {
            ASSERT_TRUE(wait_for_raw_mode(terminal));
            kill(child, SIGTERM);
        });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(terminal.local_flags() & ECHO, 0u);
}

TEST(Console, PauseOnATerminalWaitsForOneKey) {
    PseudoTerminal terminal;
    ASSERT_TRUE(terminal.ok());
    const int status = run_child(
        terminal.slave,
        [output = terminal.slave] {
            dup2(output, STDOUT_FILENO);
            console_pause();
            return 0;
        },
        [&terminal](pid_t) {
            ASSERT_TRUE(wait_for_raw_mode(terminal));
            ASSERT_EQ(write(terminal.master, "q", 1), 1);
        });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(terminal.local_flags() & ECHO, 0u);
    // The prompt and the line end after the key, but not the key itself.
    fcntl(terminal.master, F_SETFL, O_NONBLOCK);
    char shown[128] = {};
    const ssize_t n = read(terminal.master, shown, sizeof shown - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(shown, n), "Press any key to continue . . . \r\n");
}
