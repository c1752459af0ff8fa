#include "app/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

DemoOptions parse(const std::vector<std::string>& args) { return parse_demo_options(args); }

std::string error_of(const std::vector<std::string>& args) {
    try {
        parse(args);
    } catch (const OptionsError& error) {
        return error.what();
    }
    return "(no error)";
}

}  // namespace

TEST(DemoOptions, NoOptionsKeepTheFixedConfigurationAndNothingElse) {
    const DemoOptions options = parse({});
    EXPECT_EQ(options.config_path, "../configuration/demo_parameters_windows.yaml");
    EXPECT_EQ(options.record_path, "");
    EXPECT_EQ(options.trace_path, "");
    EXPECT_EQ(options.stream_port, -1);
    EXPECT_FALSE(options.help);
    EXPECT_FALSE(options.version);
}

TEST(DemoOptions, FileOptionsTakeTheNextArgumentOrTheTextAfterEquals) {
    const DemoOptions options = parse({"--config", "/etc/demo.yaml", "--record=show.mp4", "--trace", "t.txt"});
    EXPECT_EQ(options.config_path, "/etc/demo.yaml");
    EXPECT_EQ(options.record_path, "show.mp4");
    EXPECT_EQ(options.trace_path, "t.txt");
    // The last one given wins.
    EXPECT_EQ(parse({"--config", "a.yaml", "--config=b.yaml"}).config_path, "b.yaml");
    // The stream's address is the machine itself unless one is given.
    EXPECT_EQ(parse({"--stream", "8080"}).stream_host, "127.0.0.1");
    EXPECT_EQ(parse({"--stream=0.0.0.0:0"}).stream_host, "0.0.0.0");
    EXPECT_EQ(parse({"--stream", "0.0.0.0:8080"}).stream_port, 8080);
    EXPECT_TRUE(parse({"-h"}).help);
    EXPECT_TRUE(parse({"--version"}).version);
}

TEST(DemoOptions, BadCommandLinesAreNamed) {
    EXPECT_EQ(error_of({"--frobnicate"}), "unknown option \"--frobnicate\"");
    EXPECT_EQ(error_of({"config.yaml"}), "unknown option \"config.yaml\"");
    EXPECT_EQ(error_of({"--config"}), "--config needs a file name");
    EXPECT_EQ(error_of({"--record="}), "--record needs a file name");
    EXPECT_EQ(error_of({"--help=yes"}), "--help takes no value");
    for (const char* bad : {":8080", "host:", "80x", "65536", "-1"})
        EXPECT_NE(error_of({"--stream", bad}).find("--stream"), std::string::npos) << bad;
}

TEST(DemoOptions, UsageNamesTheProgramTheOptionsAndEveryConfigurationKey) {
    const std::string usage = demo_usage("visiondemo_serial");
    EXPECT_EQ(usage.rfind("usage: visiondemo_serial [options]\n", 0), 0u);
    for (const char* word : {"--config PATH", "--record FILE", "--trace FILE", "--stream [ADDR:]PORT", "--version", "--help", "path_video",
                             "path_image_glob", "write_rate_limit", "ignore_duplicate_frames", "core_wait"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
}
