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
    EXPECT_TRUE(parse({"-h"}).help);
    EXPECT_TRUE(parse({"--version"}).version);
}

TEST(DemoOptions, BadCommandLinesAreNamed) {
    EXPECT_EQ(error_of({"--frobnicate"}), "unknown option \"--frobnicate\"");
    EXPECT_EQ(error_of({"config.yaml"}), "unknown option \"config.yaml\"");
    EXPECT_EQ(error_of({"--config"}), "--config needs a file name");
    EXPECT_EQ(error_of({"--record="}), "--record needs a file name");
    EXPECT_EQ(error_of({"--help=yes"}), "--help takes no value");
}

TEST(DemoOptions, UsageNamesTheProgramTheOptionsAndEveryConfigurationKey) {
    const std::string usage = demo_usage("visiondemo_serial");
    EXPECT_EQ(usage.rfind("usage: visiondemo_serial [options]\n", 0), 0u);
    for (const char* word : {"--config PATH", "--record FILE", "--trace FILE", "--version", "--help", "path_video",
                             "path_image_glob", "write_rate_limit", "ignore_duplicate_frames"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
}
