#include "app/configuration.hpp"
#include "tests/support/fatal.hpp"
#include "tools/sample_data.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string section, key, value;
};

// A complete, valid configuration; tests change or drop single entries.
std::vector<Entry> base_entries() {
    return {
        {"YoloConfiguration", "path_scaling_parameters", "../data/scaling_parameters.bin"},
        {"YoloConfiguration", "path_weights_biases", "../data/weights.txt"},
        {"YoloConfiguration", "address_data", "0x02000000"},
        {"YoloConfiguration", "address_output", "0x02080000"},
        {"YoloConfiguration", "offset_pingpong", "0x00100000"},
        {"DemoConfiguration", "data_source", "image"},
        {"DemoConfiguration", "data_fit", "box"},
        {"DemoConfiguration", "path_image_glob", "../data/scenes"},
        {"DemoConfiguration", "image_extension", "png"},
        {"DemoConfiguration", "capture_source", "0"},
        {"DemoConfiguration", "capture_flip", "true"},
        {"DemoConfiguration", "displaytime_image", "2000"},
        {"DemoConfiguration", "memory_spaces", "2"},
        {"DemoConfiguration", "fullscreen", "false"},
        {"DemoConfiguration", "debug", "true"},
        {"DemoConfiguration", "ignore_duplicate_frames", "true"},
        {"NetworkConfiguration", "ip_address", "127.0.0.1"},
        {"NetworkConfiguration", "udp_port", "47000"},
        {"NetworkConfiguration", "packet_size", "8192"},
        {"NetworkConfiguration", "write_rate_limit", "100"},
    };
}

class ConfigFile {
public:
    ConfigFile() {
        static int counter = 0;
        path_ = (fs::temp_directory_path() /
                 ("vd_config_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".yaml"))
                    .string();
    }
    ~ConfigFile() { fs::remove(path_); }

    // Writes the entries section by section in the given order; a value of
    // "<drop>" leaves the key out.
    const std::string& write(const std::vector<Entry>& entries) {
        std::string text, section;
        for (const Entry& e : entries) {
            if (e.section != section) {
                section = e.section;
                text += section + ":\n";
            }
            if (e.value != "<drop>") text += "  " + e.key + ": " + e.value + "\n";
        }
        return write_text(text);
    }
    const std::string& write_text(const std::string& text) {
        std::ofstream(path_, std::ios::trunc) << text;
        return path_;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::vector<Entry> with(std::vector<Entry> entries, const std::string& key, const std::string& value) {
    for (Entry& e : entries) {
        if (e.key == key) e.value = value;
    }
    return entries;
}

struct Read {
    Core core;
    Demo demo;
    FileSettings files;
};

Read read(const std::string& path) {
    Read r;
    read_configuration(path, r.core, r.demo, r.files);
    return r;
}

std::string prefix(const std::string& path) { return "ERROR: Configuration file " + path; }

}  // namespace

TEST(Configuration, ReadsEveryKeyIntoItsRecordOrTheFileSettings) {
    ConfigFile file;
    const Read r = read(file.write(with(base_entries(), "udp_port", "65535")));
    EXPECT_EQ(r.files.path_scaling_parameters, "../data/scaling_parameters.bin");
    EXPECT_EQ(r.files.path_weights_biases, "../data/weights.txt");
    EXPECT_EQ(r.core.address_data, 0x02000000u);
    EXPECT_EQ(r.core.address_output, 0x02080000u);
    EXPECT_EQ(r.core.offset_pingpong, 0x00100000u);
    EXPECT_EQ(r.demo.data_source, DATA_SOURCE::IMAGE);
    EXPECT_EQ(r.demo.data_fit, DATA_FIT::BOX);
    EXPECT_EQ(r.demo.path_image_glob, "../data/scenes/");
    EXPECT_EQ(r.demo.image_extension, "png");
    EXPECT_EQ(r.demo.capture_source, 0u);
    EXPECT_TRUE(r.demo.capture_flip);
    EXPECT_EQ(r.demo.displaytime_image, 2000u);
    EXPECT_EQ(r.demo.memory_spaces, 2u);
    EXPECT_FALSE(r.demo.fullscreen);
    EXPECT_TRUE(r.demo.debug);
    EXPECT_TRUE(r.demo.ignore_duplicate_frames);
    EXPECT_EQ(r.files.ip_address, "127.0.0.1");
    EXPECT_EQ(r.files.udp_port, 65535);
    EXPECT_EQ(r.files.packet_size, 8192u);
    EXPECT_EQ(r.files.write_rate_limit, 100u);
}

TEST(Configuration, SourceAndFitTextsAreMappedWithoutRegardToCase) {
    const std::map<std::string, DATA_SOURCE> sources = {
        {"Image", DATA_SOURCE::IMAGE},     {"IMAGE", DATA_SOURCE::IMAGE},   {"image", DATA_SOURCE::IMAGE},
        {"images", DATA_SOURCE::NONE},     {"Capture", DATA_SOURCE::CAPTURE}, {"VIDEO", DATA_SOURCE::VIDEO},
        {"pAcKeD", DATA_SOURCE::PACKED},   {"none", DATA_SOURCE::NONE},     {"\"\"", DATA_SOURCE::NONE},
    };
    // The video source needs its file named.
    std::vector<Entry> base = base_entries();
    base.insert(base.begin() + 10, {"DemoConfiguration", "path_video", "clip.avi"});
    for (const auto& [text, expected] : sources) {
        ConfigFile file;
        EXPECT_EQ(read(file.write(with(base, "data_source", text))).demo.data_source, expected) << text;
    }
    const std::map<std::string, DATA_FIT> fits = {
        {"Crop", DATA_FIT::CROP}, {"STRETCH", DATA_FIT::STRETCH}, {"bOx", DATA_FIT::BOX}};
    for (const auto& [text, expected] : fits) {
        ConfigFile file;
        EXPECT_EQ(read(file.write(with(base_entries(), "data_fit", text))).demo.data_fit, expected) << text;
    }
}

TEST(Configuration, DebugAndDuplicateFlagsFallBackToFalse) {
    ConfigFile file;
    auto entries = with(with(base_entries(), "debug", "<drop>"), "ignore_duplicate_frames", "<drop>");
    Read r = read(file.write(entries));
    EXPECT_FALSE(r.demo.debug);
    EXPECT_FALSE(r.demo.ignore_duplicate_frames);

    for (const char* value : {"maybe", "1", "~", "[true]", "\"\""}) {
        r = read(file.write(with(with(base_entries(), "debug", value), "ignore_duplicate_frames", value)));
        EXPECT_FALSE(r.demo.debug) << value;
        EXPECT_FALSE(r.demo.ignore_duplicate_frames) << value;
    }
    for (const char* value : {"yes", "TRUE", "on"}) {
        r = read(file.write(with(with(base_entries(), "debug", value), "ignore_duplicate_frames", value)));
        EXPECT_TRUE(r.demo.debug) << value;
        EXPECT_TRUE(r.demo.ignore_duplicate_frames) << value;
    }
}

TEST(Configuration, ImageFolderIsNormalisedToForwardSlashesAndOneTrailingSlash) {
    const std::map<std::string, std::string> cases = {
        {"'C:\\images'", "C:/images/"},
        {"'..\\data\\scenes\\'", "../data/scenes/"},
        {"../data/scenes/", "../data/scenes/"},
        {"scenes", "scenes/"},
        // Empty stays empty: a slash would make it the root folder.
        {"''", ""},
    };
    for (const auto& [value, expected] : cases) {
        ConfigFile file;
        EXPECT_EQ(read(file.write(with(base_entries(), "path_image_glob", value))).demo.path_image_glob, expected);
    }
}

TEST(ClassColours, TableIsBlueGreenRedWithUnusedEntriesCleared) {
    const cv::Mat lut = get_kelly_lut();
    ASSERT_EQ(lut.rows, 1);
    ASSERT_EQ(lut.cols, 256);
    ASSERT_EQ(lut.type(), CV_8UC3);
    EXPECT_EQ(lut.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 179, 255));    // red-green-blue 255, 179, 0
    EXPECT_EQ(lut.at<cv::Vec3b>(0, 6), cv::Vec3b(102, 112, 129));
    EXPECT_EQ(lut.at<cv::Vec3b>(0, 19), cv::Vec3b(22, 44, 35));
    for (int k = 20; k < 256; ++k) ASSERT_EQ(lut.at<cv::Vec3b>(0, k), cv::Vec3b(0, 0, 0)) << k;
    EXPECT_EQ(data_source_name.at(DATA_SOURCE::CAPTURE), "CAPTURE - Webcam Stream");
}

TEST(ClassColours, SampleScenesAreDrawnInTheHostsColours) {
    // Every figure's outline carries exactly the colour the host uses for its
    // class, so the emulator's detections carry the right class.
    const cv::Mat lut = get_kelly_lut();
    for (const sample_data::SceneSpec& spec : sample_data::scene_specs()) {
        const sample_data::Scene scene = sample_data::make_scene(spec);
        for (const sample_data::GroundTruthObject& o : scene.objects) {
            const cv::Vec3b outline = scene.image.at<cv::Vec3b>(o.box.y + o.box.height / 2, o.box.x);
            EXPECT_EQ(outline, lut.at<cv::Vec3b>(0, o.class_id)) << spec.name;
        }
    }
}

TEST(DefaultConfiguration, UsesTheSampleDataAndKeepsBoardBuffersApart) {
    const fs::path root = VISIONDEMO_SOURCE_DIR;
    const Read r = read((root / "configuration/demo_parameters_windows.yaml").string());
    EXPECT_EQ(r.demo.data_source, DATA_SOURCE::IMAGE);
    EXPECT_EQ(r.demo.data_fit, DATA_FIT::BOX);
    EXPECT_EQ(r.files.ip_address, "127.0.0.1");

    // The paths are relative to a run folder one level below the root, which
    // need not exist (a build folder elsewhere): they are resolved by their text.
    const auto from_run = [&root](const std::string& path) { return (root / "build" / path).lexically_normal(); };
    EXPECT_TRUE(fs::is_regular_file(from_run(r.files.path_weights_biases)));
    EXPECT_TRUE(fs::is_regular_file(from_run(r.files.path_scaling_parameters)));
    EXPECT_TRUE(fs::is_directory(from_run(r.demo.path_image_glob)));
    EXPECT_TRUE(fs::is_regular_file(from_run("../data/mox_logo.png")));
    EXPECT_TRUE(fs::is_regular_file(from_run("../data/pyr_logo.png")));

    // Weights (up to a 16 MiB image) from 0, and both buffer sets.
    struct Range {
        const char* name;
        uint64_t begin, end;
    };
    const uint64_t input = 3 * 416 * 416, output = 21125;
    const Core& c = r.core;
    const std::vector<Range> ranges = {
        {"weights", 0, 16u << 20},
        {"input 0", c.address_data, c.address_data + input},
        {"output 0", c.address_output, c.address_output + output},
        {"input 1", c.address_data + c.offset_pingpong, c.address_data + c.offset_pingpong + input},
        {"output 1", c.address_output + c.offset_pingpong, c.address_output + c.offset_pingpong + output},
    };
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_LE(ranges[i].end, 256u << 20) << ranges[i].name << " beyond the emulator's memory";
        EXPECT_EQ(ranges[i].begin % 4, 0u) << ranges[i].name;
        for (size_t j = 0; j < i; ++j) {
            EXPECT_TRUE(ranges[i].end <= ranges[j].begin || ranges[j].end <= ranges[i].begin)
                << ranges[i].name << " overlaps " << ranges[j].name;
        }
    }

    // The direct-cable form awaits a run's end adaptively; a misspelt key
    // there would leave it polling with no more than a warning.
    const Read direct = read((root / "configuration/demo_parameters_direct_cable.yaml").string());
    EXPECT_EQ(r.core.limits.wait, CoreWait::poll);
    EXPECT_EQ(direct.core.limits.wait, CoreWait::adaptive);
}

// ---- Failure ends: the exact lines of the fatal error -------------------------

TEST(Configuration, UnreadableFileNamesThePath) {
    const std::string missing = "/nonexistent/folder/config.yaml";
    EXPECT_EQ(fatal::error_text([&] { read(missing); }),
                "ERROR: Failed to open YAML configuration file\n\tFile path:\t" + missing + "\n");
    const std::string folder = fs::temp_directory_path().string();
    EXPECT_EQ(fatal::error_text([&] { read(folder); }),
                "ERROR: Failed to open YAML configuration file\n\tFile path:\t" + folder + "\n");
}

TEST(Configuration, InvalidFitPrintsThreeLines) {
    ConfigFile file;
    file.write(with(base_entries(), "data_fit", "None"));
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                "Invalid data fit selected\ndata_fit_ == none\ndata_fit  == DATA_FIT::NONE\n");
}

TEST(Configuration, EveryRequiredKeyIsReportedWhenMissing) {
    ConfigFile file;
    for (const Entry& e : base_entries()) {
        if (e.key == "debug" || e.key == "ignore_duplicate_frames") continue;
        file.write(with(base_entries(), e.key, "<drop>"));
        EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) + ", section \"" + e.section + "\", key \"" + e.key +
                                "\": missing\n")
            << e.key;
    }
}

TEST(Configuration, MissingOrMisshapenSections) {
    ConfigFile file;
    std::vector<Entry> no_network;
    for (const Entry& e : base_entries()) {
        if (e.section != "NetworkConfiguration") no_network.push_back(e);
    }
    file.write(no_network);
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) + ", section \"NetworkConfiguration\": missing\n");

    file.write_text("");
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) + ", section \"YoloConfiguration\": missing\n");

    file.write_text("YoloConfiguration: 5\n");
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) +
                            ", section \"YoloConfiguration\", line 1, column 20: not a mapping of keys\n");

    file.write_text("- just\n- a list\n");
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) + ", line 1, column 1: not a mapping of sections\n");
}

TEST(Configuration, ValuesThatDoNotConvertNameKeyLineAndColumn) {
    // Entries are written one a line below their section heading, indented
    // by two blanks; lines and columns count from 1.
    struct Case {
        const char* key;
        const char* value;
        const char* report;
    };
    const Case cases[] = {
        {"udp_port", "70000", "\"70000\" is not an unsigned 16-bit integer"},
        {"address_data", "-1", "\"-1\" is not an unsigned 64-bit integer"},
        {"packet_size", "4294967296", "\"4294967296\" is not an unsigned 32-bit integer"},
        {"capture_source", "12.5", "\"12.5\" is not an unsigned 64-bit integer"},
        {"capture_flip", "maybe", "\"maybe\" is not a boolean"},
        {"memory_spaces", "[1, 2]", "not an unsigned 64-bit integer"},
        {"path_weights_biases", "{a: b}", "not text"},
        {"displaytime_image", "", "no value, expected an unsigned 64-bit integer"},
    };
    ConfigFile file;
    for (const Case& c : cases) {
        const std::vector<Entry> entries = with(base_entries(), c.key, c.value);
        int line = 0;
        std::string section, last_section;
        for (const Entry& e : entries) {
            if (e.section != last_section) {
                last_section = e.section;
                ++line;
            }
            ++line;
            if (e.key == c.key) {
                section = e.section;
                break;
            }
        }
        // A value starts two columns after the key; an empty value has no
        // position of its own and is reported at its key.
        const size_t column = std::string(c.value).empty() ? 3 : 3 + std::string(c.key).size() + 2;
        const std::string where = ", line " + std::to_string(line) + ", column " + std::to_string(column);
        file.write(entries);
        EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) + ", section \"" + section + "\", key \"" + c.key + "\"" +
                                where + ": " + c.report + "\n")
            << c.key;
    }
}

TEST(Configuration, InvalidYamlGivesTheParsersPosition) {
    ConfigFile file;
    file.write_text("YoloConfiguration:\n  address_data: [1, 2\n");
    EXPECT_TRUE(fatal::contains_regex(fatal::error_text([&] { read(file.path()); }),
                "^ERROR: Configuration file [^,]*, line [0-9]+, column [0-9]+: "
                                       "not valid YAML: .+\n$"));
}

TEST(Configuration, FirstProblemInReadingOrderIsTheOneReported) {
    // A bad address in the first section wins over a missing last section,
    // and any key problem over an invalid fit, which is checked after all keys.
    ConfigFile file;
    std::vector<Entry> entries;
    for (const Entry& e : with(with(base_entries(), "address_output", "-5"), "data_fit", "none")) {
        if (e.section != "NetworkConfiguration") entries.push_back(e);
    }
    file.write(entries);
    const std::string reported = fatal::error_text([&] { read(file.path()); });
    const std::string expected = prefix(file.path()) + ", section \"YoloConfiguration\", key \"address_output\"";
    EXPECT_EQ(reported.substr(0, expected.size()), expected);

    file.write(with(with(base_entries(), "data_fit", "none"), "write_rate_limit", "<drop>"));
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
                prefix(file.path()) +
                            ", section \"NetworkConfiguration\", key \"write_rate_limit\": missing\n");
}

TEST(Configuration, VideoFileIsRequiredOnlyWhenItIsTheFirstSource) {
    ConfigFile file;
    // Not chosen and not given: no video source.
    file.write(base_entries());
    EXPECT_EQ(read(file.path()).demo.path_video, "");

    // Chosen without the key: the key is named like every missing one.
    file.write(with(base_entries(), "data_source", "Video"));
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
              prefix(file.path()) + ", section \"DemoConfiguration\", key \"path_video\": missing\n");

    // Given while another source is chosen: kept, so that space reaches it.
    std::vector<Entry> entries = base_entries();
    entries.insert(entries.begin() + 10, {"DemoConfiguration", "path_video", "../data/clip.avi"});
    file.write(entries);
    const Read r = read(file.path());
    EXPECT_EQ(r.demo.data_source, DATA_SOURCE::IMAGE);
    EXPECT_EQ(r.demo.path_video, "../data/clip.avi");

    file.write(with(entries, "data_source", "video"));
    EXPECT_EQ(read(file.path()).demo.data_source, DATA_SOURCE::VIDEO);
}

// A misspelt optional key would leave its default in force without a word;
// every key and section no lookup asks for is named with its line, while the
// optional keys that are looked up (limits, path_video) are not.
TEST(Configuration, UnknownKeysAndSectionsAreWarnedWithTheirLine) {
    ConfigFile file;
    std::vector<Entry> entries = base_entries();
    entries.insert(entries.begin() + 10, {"DemoConfiguration", "path_video", "../data/clip.avi"});
    entries.push_back({"NetworkConfiguration", "reply_limit_ms", "20"});
    entries.push_back({"NetworkConfiguration", "reply_limt_ms", "20"});
    entries.push_back({"Extra", "anything", "1"});
    testing::internal::CaptureStderr();
    const Read r = read(file.write(entries));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.files.link_limits.reply, std::chrono::milliseconds(20));
    EXPECT_EQ(err, "WARNING: Configuration file " + file.path() + ", line 27, column 1: unknown section \"Extra\" ignored\n"
                   "WARNING: Configuration file " + file.path() +
                       ", section \"NetworkConfiguration\", line 26, column 3: unknown key \"reply_limt_ms\" ignored\n");
}

namespace {

std::vector<Entry> with_limits(const std::vector<Entry>& limits) {
    std::vector<Entry> entries = base_entries();
    entries.insert(entries.end(), limits.begin(), limits.end());
    return entries;
}

}  // namespace

TEST(LimitKeys, AbsentKeysKeepTheLimitsGivenAndPresentOnesReplaceThem) {
    ConfigFile file;
    file.write(base_entries());
    Read r;
    r.files.link_limits.reply = std::chrono::milliseconds(250);  // a caller's own default
    read_configuration(file.path(), r.core, r.demo, r.files);
    EXPECT_EQ(r.files.link_limits.reply, std::chrono::milliseconds(250));
    const LinkLimits link;
    EXPECT_EQ(r.files.link_limits.stream_datagram, link.stream_datagram);
    EXPECT_EQ(r.files.link_limits.fabric_read_pause, link.fabric_read_pause);
    EXPECT_EQ(r.files.link_limits.fabric_write_ack_attempts, 1);
    EXPECT_EQ(r.files.link_limits.read_attempts, link.read_attempts);
    EXPECT_EQ(r.core.limits.completion, CORE_COMPLETION_LIMIT);
    EXPECT_EQ(r.core.limits.start_ack, CORE_START_ACK_LIMIT);
    EXPECT_EQ(r.core.limits.start_attempts, 1);
    EXPECT_EQ(r.core.limits.wait, CoreWait::poll);

    file.write(with_limits({{"NetworkConfiguration", "reply_limit_ms", "4"},
                            {"NetworkConfiguration", "stream_datagram_limit_ms", "20"},
                            {"NetworkConfiguration", "fabric_read_pause_us", "250"},
                            {"NetworkConfiguration", "fabric_write_attempts", "3"},
                            {"NetworkConfiguration", "read_attempts", "7"},
                            {"NetworkConfiguration", "core_completion_limit_ms", "500"},
                            {"NetworkConfiguration", "start_ack_limit_ms", "6"},
                            {"NetworkConfiguration", "core_wait", "adaptive"}}));
    const Read set = read(file.path());
    EXPECT_EQ(set.files.link_limits.reply, std::chrono::milliseconds(4));
    EXPECT_EQ(set.files.link_limits.stream_datagram, std::chrono::milliseconds(20));
    EXPECT_EQ(set.files.link_limits.fabric_read_pause, std::chrono::microseconds(250));
    EXPECT_EQ(set.files.link_limits.fabric_write_ack_attempts, 3);
    EXPECT_EQ(set.core.limits.start_attempts, 3);
    EXPECT_EQ(set.files.link_limits.read_attempts, 7);
    EXPECT_EQ(set.files.link_limits.ddr_write_ack_attempts, link.ddr_write_ack_attempts);
    EXPECT_EQ(set.files.link_limits.stream_attempts, link.stream_attempts);
    EXPECT_EQ(set.core.limits.completion, std::chrono::milliseconds(500));
    EXPECT_EQ(set.core.limits.start_ack, std::chrono::milliseconds(6));
    EXPECT_EQ(set.core.limits.wait, CoreWait::adaptive);
    file.write(with_limits({{"NetworkConfiguration", "core_wait", "Poll"}}));
    Read poll;
    poll.core.limits.wait = CoreWait::adaptive;
    read_configuration(file.path(), poll.core, poll.demo, poll.files);
    EXPECT_EQ(poll.core.limits.wait, CoreWait::poll);
}

TEST(LimitKeys, ValuesThatCannotWorkAreRefusedNamingTheKey) {
    struct Case {
        const char* key;
        const char* value;
        const char* report;
    };
    const Case cases[] = {
        {"reply_limit_ms", "0", "0 is outside 1 to 3600000"},
        {"stream_datagram_limit_ms", "-5", "-5 is outside 1 to 3600000"},
        {"fabric_read_pause_us", "0", "0 is outside 1 to 3600000000"},
        {"fabric_write_attempts", "0", "0 is outside 1 to 1000"},
        {"read_attempts", "-1", "-1 is outside 1 to 1000"},
        {"core_completion_limit_ms", "3600001", "3600001 is outside 1 to 3600000"},
        {"start_ack_limit_ms", "0", "0 is outside 1 to 3600000"},
        {"read_attempts", "two", "\"two\" is not an integer"},
        {"core_wait", "sometimes", "\"sometimes\" is not poll or adaptive"},
    };
    ConfigFile file;
    for (const Case& c : cases) {
        file.write(with_limits({{"NetworkConfiguration", c.key, c.value}}));
        const std::string text = fatal::error_text([&] { read(file.path()); });
        EXPECT_EQ(text.rfind("ERROR: ", 0), 0u) << text;
        EXPECT_NE(text.find("section \"NetworkConfiguration\", key \"" + std::string(c.key) + "\""),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(c.report), std::string::npos) << text;
    }

    // A poll's reply limit cannot be longer than the run's limit it sits in,
    // whether the completion limit is set or left at its second.
    file.write(with_limits({{"NetworkConfiguration", "reply_limit_ms", "1001"}}));
    EXPECT_EQ(fatal::error_text([&] { read(file.path()); }),
              prefix(file.path()) + ", section \"NetworkConfiguration\", key \"reply_limit_ms\": 1001 ms is longer "
                                    "than the core's completion limit (core_completion_limit_ms, 1000 ms)\n");
    file.write(with_limits({{"NetworkConfiguration", "reply_limit_ms", "50"},
                            {"NetworkConfiguration", "core_completion_limit_ms", "40"}}));
    EXPECT_NE(fatal::error_text([&] { read(file.path()); }).find("key \"reply_limit_ms\": 50 ms is longer"),
              std::string::npos);
    file.write(with_limits({{"NetworkConfiguration", "reply_limit_ms", "40"},
                            {"NetworkConfiguration", "core_completion_limit_ms", "40"}}));
    EXPECT_EQ(read(file.path()).files.link_limits.reply, std::chrono::milliseconds(40));
}
