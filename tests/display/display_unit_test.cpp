#include "display/display.hpp"
#include "platform/display_check.hpp"
#include "tests/support/fatal.hpp"
#include "tests/support/test_source.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::unique_ptr<Display> make_display() {
    return std::make_unique<Display>(std::make_shared<NullSource>("unit"), std::make_shared<Demo>());
}

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name(name) {
        const char* old = std::getenv(name);
        had = old != nullptr;
        if (had) saved = old;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had) ::setenv(name, saved.c_str(), 1);
        else ::unsetenv(name);
    }

private:
    const char* name;
    bool had = false;
    std::string saved;
};

}  // namespace

TEST(DisplayKeys, RegisteringReplacesClearingRemovesAndUnknownKeysDoNothing) {
    auto display = make_display();
    std::vector<std::string> log;
    display->register_callback(27, [&] { log.push_back("stop"); });
    display->register_callback(113, [&] { log.push_back("q1"); });
    display->register_callbacks({{113, [&] { log.push_back("q2"); }}, {81, [&] { log.push_back("prev"); }}});
    EXPECT_TRUE(display->dispatch_key(113));
    EXPECT_TRUE(display->dispatch_key(27));
    EXPECT_TRUE(display->dispatch_key(81));
    EXPECT_FALSE(display->dispatch_key(120));
    EXPECT_FALSE(display->dispatch_key(225));  // a modifier pressed alone
    EXPECT_EQ(log, (std::vector<std::string>{"q2", "stop", "prev"}));
    EXPECT_TRUE(display->get_callbacks().empty());

    display->clear_callbacks();
    EXPECT_FALSE(display->dispatch_key(27));

    // An action may rebuild the map itself: it runs outside the map's lock.
    display->register_callback(32, [&] {
        display->clear_callbacks();
        display->register_callback(27, [&] { log.push_back("stop again"); });
    });
    EXPECT_TRUE(display->dispatch_key(32));
    EXPECT_FALSE(display->dispatch_key(32));
    EXPECT_TRUE(display->dispatch_key(27));
    EXPECT_EQ(log.back(), "stop again");
}

TEST(DisplayKeys, MapRebuiltFromAnotherThreadWhileKeysAreDispatched) {
    auto display = make_display();
    std::atomic<int> hits{0};
    std::atomic<bool> done{false};
    std::thread rebuilder([&] {
        for (int round = 0; round < 2000; ++round) {
            display->clear_callbacks();
            display->register_callback(27, [&] { hits.fetch_add(1); });
            CallbackMap map;
            for (int key = 100; key < 110; ++key) map[key] = [&] { hits.fetch_add(1); };
            display->register_callbacks(map);
        }
        done.store(true);
    });
    long dispatched = 0;
    while (!done.load()) {
        for (int key : {27, 100, 105, 109, 120}) dispatched += display->dispatch_key(key) ? 1 : 0;
    }
    rebuilder.join();
    EXPECT_EQ(hits.load(), dispatched);
    EXPECT_TRUE(display->dispatch_key(105));
}

TEST(DisplayCheck, NamesTheVariablesWhenNoDisplayAnswers) {
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    std::string checked;
    {
        ScopedEnv x("DISPLAY", nullptr);
        EXPECT_FALSE(display_available(checked));
        EXPECT_EQ(checked, "DISPLAY (not set) and WAYLAND_DISPLAY (not set)");
    }
    {
        ScopedEnv x("DISPLAY", ":987");
        EXPECT_FALSE(display_available(checked));
        EXPECT_EQ(checked, "DISPLAY=:987 (no X server answers) and WAYLAND_DISPLAY (not set)");
    }
}

TEST(DisplayCheck, AcceptsAWaylandSocket) {
    char folder[] = "/tmp/vd_wayland_XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string socket_path = std::string(folder) + "/wayland-7";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    ScopedEnv x("DISPLAY", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", folder);
    std::string checked;
    {
        ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-7");
        EXPECT_TRUE(display_available(checked));
        EXPECT_EQ(checked, "");
    }
    {
        ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-8");
        EXPECT_FALSE(display_available(checked));
        EXPECT_EQ(checked, "DISPLAY (not set) and WAYLAND_DISPLAY=wayland-8 (no such socket)");
    }
    ::close(fd);
    ::unlink(socket_path.c_str());
    ::rmdir(folder);
}

// Before the window library is touched (it would abort the process), the
// display is checked; no thread is started without one.
TEST(DisplayCheck, StartingTheDisplayWithoutOneRaisesTheFatalError) {
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    {
        ScopedEnv x("DISPLAY", nullptr);
        auto display = make_display();
        EXPECT_EQ(fatal::error_text([&] { display->work(); }),
                  "ERROR: No display available\n\tChecked:\tDISPLAY (not set) and WAYLAND_DISPLAY (not set)\n");
        display->stop();
    }
    ScopedEnv x("DISPLAY", ":987");
    EXPECT_EQ(fatal::error_text([&] { wait_key(1); }),
              "ERROR: No display available\n\tChecked:\tDISPLAY=:987 (no X server answers) and WAYLAND_DISPLAY (not "
              "set)\n");
}

// The window library reports keys outside the character range by their X
// keysyms; only the arrows are folded onto the codes the key maps use, so
// that Compose (65312, low byte 32) does not act as space.
TEST(KeyCodes, KeysOutsideTheCharacterRangeKeepTheirFullCode) {
    EXPECT_EQ(key_from_window_code(65361), 81);
    EXPECT_EQ(key_from_window_code(65363), 83);
    EXPECT_EQ(key_from_window_code(27), 27);
    EXPECT_EQ(key_from_window_code(65312), 65312);
    EXPECT_EQ(key_from_window_code(65505), 65505);

    auto display = make_display();
    std::atomic<int> switches{0};
    display->register_callback(32, [&] { switches.fetch_add(1); });
    EXPECT_FALSE(display->dispatch_key(key_from_window_code(65312)));
    EXPECT_EQ(switches.load(), 0);
}
