// Flags and configuration file of the board_emulator program.
#include "emulator/options.hpp"
#include "tests/support/temp_folder.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

ProgramOptions parse(std::vector<std::string> args) { return parse_arguments(args); }

std::string write_file(const std::string& name, const std::string& text) {
    static const TempFolder folder;
    const std::string path = folder.path + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string scaling_file(size_t bytes) {
    std::string data(bytes, '\0');
    // scale[0] = 2.0f (0x40000000), bias[0] = -0.5f (0xBF000000), little-endian
    if (bytes == 1000) {
        data[3] = char(0x40);
        data[500 + 3] = char(0xBF);
    }
    return write_file("emulator_scaling_" + std::to_string(bytes) + ".bin", data);
}

std::string config(const std::string& scaling, const std::string& network = "  ip_address: 127.0.0.1\n  udp_port: 47000\n") {
    return "YoloConfiguration:\n  path_scaling_parameters: \"" + scaling +
           "\"\n  path_weights_biases: w.txt\n  address_data: 0x02000000\n  address_output: 0x02080000\n"
           "  offset_pingpong: 0x00100000\nNetworkConfiguration:\n" + network;
}

}  // namespace

TEST(EmulatorOptions, FlagsFillTheSettings) {
    const auto o = parse({"--port", "0", "--core-us=0", "--boot-ms", "16", "--ddr-mib", "64", "--version", "3",
                          "--model", "noise:5", "--seed", "9", "--drop-requests", "0.25", "--drop-replies", "1",
                          "--drop-nth", "write-ack:3", "--drop-nth", "init:1", "--nack", "0.5", "--delay-us",
                          "1200000", "--duplicate", "0.1", "--oversize", "0.2", "--stream-gap", "0.3",
                          "--short-nth", "read:2", "--empty-before", "0.5",
                          "--silent-init", "2", "--stall-run", "4", "--stall-run", "6", "--stall-from", "9",
                          "--status", "0x3", "--status-from-run", "5", "--silent-after", "100", "--stats-every",
                          "2.5", "--verbose", "--bind", "0.0.0.0", "--weights", "w.txt", "--config", "c.yaml"});
    const auto& s = o.settings;
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_EQ(o.config_path, "c.yaml");
    EXPECT_EQ(s.core_us, 0);
    EXPECT_EQ(s.boot_ms, 16);
    EXPECT_EQ(s.ddr_mib, 64u);
    EXPECT_EQ(s.version, 3u);
    EXPECT_EQ(s.model, "noise:5");
    EXPECT_EQ(s.seed, 9u);
    EXPECT_DOUBLE_EQ(s.drop_requests, 0.25);
    EXPECT_DOUBLE_EQ(s.drop_replies, 1.0);
    ASSERT_EQ(s.drop_nth.size(), 2u);
    EXPECT_EQ(s.drop_nth[0], std::make_pair(std::string("write-ack"), uint64_t(3)));
    EXPECT_EQ(s.drop_nth[1], std::make_pair(std::string("init"), uint64_t(1)));
    EXPECT_EQ(s.delay_us, 1200000);
    EXPECT_EQ(s.short_nth, (std::vector<std::pair<std::string, uint64_t>>{{"read", 2}}));
    EXPECT_DOUBLE_EQ(s.empty_before, 0.5);
    EXPECT_EQ(s.silent_init, 2u);
    EXPECT_EQ(s.stall_run, (std::vector<uint64_t>{4, 6}));
    EXPECT_EQ(s.stall_from, 9u);
    EXPECT_EQ(s.status, 3u);
    EXPECT_EQ(s.status_from_run, 5u);
    EXPECT_EQ(s.silent_after, 100u);
    EXPECT_DOUBLE_EQ(o.stats_every, 2.5);
    EXPECT_TRUE(s.verbose);
    EXPECT_EQ(s.weights_path, "w.txt");

    // Defaults.
    const auto d = parse({});
    EXPECT_EQ(d.config_path, "../configuration/demo_parameters_windows.yaml");
    EXPECT_EQ(d.settings.core_us, 38461);
    EXPECT_EQ(d.settings.boot_ms, 2000);
    EXPECT_EQ(d.settings.ddr_mib, 256u);
    EXPECT_EQ(d.settings.model, "shapes");
    EXPECT_FALSE(d.settings.status.has_value());
    EXPECT_FALSE(d.port.has_value());
    EXPECT_TRUE(parse({"--help"}).help);
}

TEST(EmulatorOptions, BadFlagsAreRefusedWithTheirName) {
    const std::vector<std::vector<std::string>> bad = {
        {"--frobnicate"},         {"--port"},           {"--port", "65536"},      {"--port", "-1"},
        {"--core-us", "12.5"},    {"--drop-requests", "1.5"}, {"--nack", "x"},    {"--drop-nth", "write"},
        {"--drop-nth", "poke:1"}, {"--drop-nth", "read:0"},   {"--stall-run", "0"}, {"--ddr-mib", "0"},
        {"--status", ""},         {"--verbose=1"},      {"--stats-every", "-1"},  {"port"},
        {"--short-nth", "write:1"}, {"--short-nth", "read:0"}, {"--empty-before", "2"}};
    for (const auto& args : bad) {
        try {
            parse(args);
            ADD_FAILURE() << "accepted " << args[0];
        } catch (const UsageError& e) {
            const std::string flag = args[0].substr(0, args[0].find('='));
            EXPECT_NE(std::string(e.what()).find(flag), std::string::npos) << e.what();
        }
    }
}

// The usage text and the parser come from one table of flags: every flag the
// text lists is taken (none "unknown"), its help starts in the one column, and
// the kind errors list the kinds each flag takes.
TEST(EmulatorOptions, UsageListsTheFlagsTheParserTakes) {
    const std::string usage = usage_text();
    size_t flags = 0;
    for (size_t start = 0, end; start < usage.size(); start = end + 1) {
        end = usage.find('\n', start);
        const std::string line = usage.substr(start, end - start);
        if (line.rfind("  --", 0) == 0) {
            ++flags;
            const std::string flag = line.substr(2, line.find(' ', 2) - 2);
            try {
                parse({flag});
            } catch (const UsageError& e) {
                EXPECT_EQ(std::string(e.what()), flag + " needs a value");
            }
            // A flag too long for the column is followed by two spaces.
            const size_t gap = line.find("  ", 2), help = line.find_first_not_of(' ', gap);
            EXPECT_TRUE(help == 25 || (gap >= 23 && help == gap + 2)) << line;
        } else if (line.rfind("   ", 0) == 0) {
            EXPECT_EQ(line.find_first_not_of(' '), 25u) << line;
        }
    }
    EXPECT_EQ(flags, 36u);
    auto error = [](const std::vector<std::string>& args) {
        try {
            parse(args);
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(error({"--drop-nth", "poke:1"}), "--drop-nth: unknown kind \"poke\" (init, write, write-ack, read, stream or done)");
    EXPECT_EQ(error({"--short-nth=stream:1"}), "--short-nth: unknown kind \"stream\" (init, write-ack or read)");
    EXPECT_EQ(error({"--delay-nth", "done:1:5"}), "--delay-nth: unknown kind \"done\" (init, write-ack, read, stream or start)");
    EXPECT_EQ(error({"--drop-nth-reply", "start:1:5"}), "--drop-nth-reply needs KIND:N, got \"start:1:5\"");
    EXPECT_EQ(error({"-h"}), "accepted");
}

TEST(EmulatorOptions, ConfigurationGivesAddressesPortAndScaling) {
    ProgramOptions o = parse({"--config", write_file("emulator_cfg.yaml", config(scaling_file(1000)))});
    apply_configuration(o);
    EXPECT_EQ(o.settings.bind, "127.0.0.1");
    EXPECT_EQ(o.settings.port, 47000);
    EXPECT_EQ(o.settings.address_data, 0x02000000u);
    EXPECT_EQ(o.settings.address_output, 0x02080000u);
    EXPECT_EQ(o.settings.offset_pingpong, 0x00100000u);
    ASSERT_EQ(o.settings.output_scale.size(), 125u);
    ASSERT_EQ(o.settings.output_bias.size(), 125u);
    EXPECT_EQ(o.settings.output_scale[0], 2.0f);
    EXPECT_EQ(o.settings.output_bias[0], -0.5f);
    EXPECT_EQ(o.settings.output_scale[1], 0.0f);

    // Flags win over the file.
    o = parse({"--config", o.config_path, "--port", "0", "--bind", "127.0.0.2"});
    apply_configuration(o);
    EXPECT_EQ(o.settings.port, 0);
    EXPECT_EQ(o.settings.bind, "127.0.0.2");
}

TEST(EmulatorOptions, ConfigurationErrorsNameTheProblem) {
    const std::string good_scaling = scaling_file(1000);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {config(good_scaling, "  udp_port: 47000\n"), "NetworkConfiguration.ip_address"},
        {config(good_scaling, "  ip_address: 127.0.0.1\n  udp_port: 70000\n"), "NetworkConfiguration.udp_port"},
        {"NetworkConfiguration:\n  ip_address: 127.0.0.1\n  udp_port: 1\n", "YoloConfiguration"},
        {"YoloConfiguration: [unclosed\n", "emulator_bad.yaml"},
        {config(scaling_file(999)), "999 bytes, expected 1000"},
        {config("/nonexistent/scaling.bin"), "/nonexistent/scaling.bin"},
    };
    for (const auto& [text, expected] : cases) {
        ProgramOptions o = parse({"--config", write_file("emulator_bad.yaml", text)});
        try {
            apply_configuration(o);
            ADD_FAILURE() << "accepted: " << expected;
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
    ProgramOptions missing = parse({"--config", "/nonexistent/config.yaml"});
    EXPECT_THROW(apply_configuration(missing), ConfigError);
}
