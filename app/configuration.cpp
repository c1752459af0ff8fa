// Reading of the YAML configuration file into the records.
//
// Every failure raises exception_fatal with one "ERROR: " line (or
// the fixed lines of an unreadable file and an invalid fit). Keys are looked
// up through const nodes and checked one by one, so that a report names the
// file, the section, the key and, where the parser knows it, the line and
// column (1-based, as yaml-cpp counts them in its own messages).
#include "app/configuration.hpp"
#include "platform/fatal_error.hpp"
#include "records/yaml_lookup.hpp"
#include "records/classes.hpp"
#include "records/network.hpp"

#include "pipeline/file_readers.hpp"

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>

namespace {

[[noreturn]] void fail(const std::string& line) {
    throw exception_fatal({"ERROR: " + line});
}

using yaml_lookup::mark_text;

// Looks up keys of one section and converts their values, reporting any
// problem with the file, section and key named.
class Section {
public:
    // The node is copy-constructed: assigning one YAML::Node to another would
    // write through (and fails for a missing key).
    Section(const std::string& path, const YAML::Node& root, const char* name)
        : path_(path), name_(name), node_(yaml_lookup::entry(root, name)) {
        if (!node_.IsDefined()) {
            fail(where() + ": missing");
        }
        if (!node_.IsMap()) {
            fail(where() + mark_text(node_.Mark()) + ": not a mapping of keys");
        }
    }

    std::string text(const char* key) const {
        const YAML::Node value = scalar(key, "text");
        return value.Scalar();
    }
    uint64_t u64(const char* key) const { return scalar_as<uint64_t>(key, "an unsigned 64-bit integer"); }
    uint32_t u32(const char* key) const { return scalar_as<uint32_t>(key, "an unsigned 32-bit integer"); }
    uint16_t u16(const char* key) const { return scalar_as<uint16_t>(key, "an unsigned 16-bit integer"); }

    bool boolean(const char* key) const { return scalar_as<bool>(key, "a boolean"); }

    // An optional whole number from 1 to `most`; `fallback` when the key is
    // absent.
    int64_t positive_or(const char* key, int64_t fallback, int64_t most) const {
        if (!has(key)) return fallback;
        const int64_t value = scalar_as<int64_t>(key, "an integer");
        if (value < 1 || value > most) {
            fail(where(key) + mark_text(scalar(key, "an integer").Mark()) + ": " + std::to_string(value) +
                 " is outside 1 to " + std::to_string(most));
        }
        return value;
    }

    [[noreturn]] void refuse(const char* key, const std::string& why) const { fail(where(key) + ": " + why); }

    bool has(const char* key) const {
        asked_.insert(key);
        return yaml_lookup::entry(node_, key).IsDefined();
    }

    // A boolean that falls back to `fallback` when the key is absent or its
    // value is not a boolean.
    bool boolean_or(const char* key, bool fallback) const {
        asked_.insert(key);
        return yaml_lookup::entry(node_, key).as<bool>(fallback);
    }

    const std::string& name() const { return name_; }

    // One "WARNING: " line for every key of the section that no lookup asked
    // for: a misspelt optional key would otherwise leave its default in
    // force without a word.
    void warn_unknown_keys() const {
        const YAML::Node& section = node_;
        for (YAML::const_iterator it = section.begin(); it != section.end(); ++it) {
            const std::string key = it->first.IsScalar() ? it->first.Scalar() : std::string();
            if (asked_.count(key) > 0) continue;
            std::cerr << "WARNING: " << where() << mark_text(it->first.Mark()) << ": unknown key \"" << key
                      << "\" ignored" << std::endl;
        }
    }

private:
    std::string where() const { return "Configuration file " + path_ + ", section \"" + name_ + "\""; }
    std::string where(const char* key) const { return where() + ", key \"" + key + "\""; }

    YAML::Node scalar(const char* key, const char* expected) const {
        asked_.insert(key);
        const YAML::Node value = yaml_lookup::entry(node_, key);
        if (!value.IsDefined()) {
            fail(where(key) + ": missing");
        }
        if (value.IsNull()) {
            // An empty value has no position of its own; name its key's.
            fail(where(key) + mark_text(yaml_lookup::key_mark(node_, key)) + ": no value, expected " + expected);
        }
        if (!value.IsScalar()) {
            fail(where(key) + mark_text(value.Mark()) + ": not " + expected);
        }
        return value;
    }

    // The scalar value of `key` as a T (a number or a boolean).
    template <typename T>
    T scalar_as(const char* key, const char* expected) const {
        const YAML::Node value = scalar(key, expected);
        return yaml_lookup::converted<T>(value, [&](const YAML::Mark& mark) {
            const YAML::Mark& at = mark.is_null() ? value.Mark() : mark;
            fail(where(key) + mark_text(at) + ": \"" + value.Scalar() + "\" is not " + expected);
        });
    }

    std::string path_;
    std::string name_;
    YAML::Node node_;
    // Every key looked up so far, present or not.
    mutable std::set<std::string> asked_;
};

// A "WARNING: " line for every section of the file that is none of `known`.
void warn_unknown_sections(const std::string& path, const YAML::Node& root,
                           std::initializer_list<const Section*> known) {
    if (!root.IsMap()) return;
    for (YAML::const_iterator it = root.begin(); it != root.end(); ++it) {
        const std::string name = it->first.IsScalar() ? it->first.Scalar() : std::string();
        bool found = false;
        for (const Section* section : known) found = found || section->name() == name;
        if (found) continue;
        std::cerr << "WARNING: Configuration file " << path << mark_text(it->first.Mark()) << ": unknown section \""
                  << name << "\" ignored" << std::endl;
    }
}

std::string lower_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

DATA_SOURCE map_data_source(const std::string& text) {
    if (text == "packed") return DATA_SOURCE::PACKED;
    if (text == "image") return DATA_SOURCE::IMAGE;
    if (text == "video") return DATA_SOURCE::VIDEO;
    if (text == "capture") return DATA_SOURCE::CAPTURE;
    return DATA_SOURCE::NONE;
}

DATA_FIT map_data_fit(const std::string& text) {
    if (text == "stretch") return DATA_FIT::STRETCH;
    if (text == "crop") return DATA_FIT::CROP;
    if (text == "box") return DATA_FIT::BOX;
    return DATA_FIT::NONE;
}

YAML::Node parse(const std::string& path) {
    // First make sure the file can be read at all (a folder cannot).
    std::error_code ec;
    std::ifstream file;
    if (!std::filesystem::is_directory(path, ec)) file.open(path, std::ios::binary);
    std::ostringstream content;
    if (file.is_open()) content << file.rdbuf();
    if (!file.is_open() || file.bad()) {
        throw exception_fatal({"ERROR: Failed to open YAML configuration file", "\tFile path:\t" + path});
    }
    YAML::Node root;
    try {
        root = YAML::Load(content.str());
    } catch (const YAML::ParserException& e) {
        fail("Configuration file " + path + mark_text(e.mark) + ": not valid YAML: " + e.msg);
    }
    if (root.IsDefined() && !root.IsNull() && !root.IsMap()) {
        fail("Configuration file " + path + mark_text(root.Mark()) + ": not a mapping of sections");
    }
    return root;
}

// The optional keys of the link's and the core's limits. Times are whole
// milliseconds, but the pause after a failed fabric read, which is in
// microseconds. The largest values accepted keep every time within an hour.
void read_limits(const Section& network, CoreLimits& core, LinkLimits& link) {
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    using std::chrono::duration_cast;
    constexpr int64_t HOUR_MS = 3600 * 1000;
    constexpr int64_t MOST_ATTEMPTS = 1000;
    const auto ms = [&](const char* key, std::chrono::nanoseconds fallback) {
        const int64_t value = network.positive_or(key, duration_cast<milliseconds>(fallback).count(), HOUR_MS);
        return network.has(key) ? std::chrono::nanoseconds(milliseconds(value)) : fallback;
    };
    const auto attempts = [&](const char* key, int fallback) {
        return static_cast<int>(network.positive_or(key, fallback, MOST_ATTEMPTS));
    };
    link.reply = ms("reply_limit_ms", link.reply);
    link.stream_datagram = ms("stream_datagram_limit_ms", link.stream_datagram);
    if (network.has("fabric_read_pause_us")) {
        link.fabric_read_pause =
            microseconds(network.positive_or("fabric_read_pause_us", 0, HOUR_MS * 1000));
    }
    link.fabric_write_ack_attempts = attempts("fabric_write_attempts", link.fabric_write_ack_attempts);
    core.start_attempts = link.fabric_write_ack_attempts;
    link.read_attempts = attempts("read_attempts", link.read_attempts);
    core.completion = ms("core_completion_limit_ms", core.completion);
    core.start_ack = ms("start_ack_limit_ms", core.start_ack);
    // Every poll of a run waits for its reply inside the run's limit.
    if (link.reply > core.completion) {
        network.refuse("reply_limit_ms",
                       std::to_string(duration_cast<milliseconds>(link.reply).count()) +
                           " ms is longer than the core's completion limit (core_completion_limit_ms, " +
                           std::to_string(duration_cast<milliseconds>(core.completion).count()) + " ms)");
    }
}

// The optional key that chooses how the core-control stage awaits a run's
// end; `fallback` when it is absent.
CoreWait read_core_wait(const Section& network, CoreWait fallback) {
    if (!network.has("core_wait")) return fallback;
    const std::string text = network.text("core_wait");
    const std::string word = lower_case(text);
    if (word == "poll") return CoreWait::poll;
    if (word == "adaptive") return CoreWait::adaptive;
    network.refuse("core_wait", "\"" + text + "\" is not poll or adaptive");
}

}  // namespace

void read_configuration(const std::string& path, Core& core, Demo& demo, FileSettings& files) {
    const YAML::Node root = parse(path);
    std::string data_source;
    std::string data_fit;
    try {
        const Section yolo(path, root, "YoloConfiguration");
        files.path_scaling_parameters = yolo.text("path_scaling_parameters");
        files.path_weights_biases = yolo.text("path_weights_biases");
        core.address_data = yolo.u64("address_data");
        core.address_output = yolo.u64("address_output");
        core.offset_pingpong = yolo.u64("offset_pingpong");

        const Section demo_section(path, root, "DemoConfiguration");
        data_source = demo_section.text("data_source");
        data_fit = demo_section.text("data_fit");
        demo.path_image_glob = demo_section.text("path_image_glob");
        demo.image_extension = demo_section.text("image_extension");
        demo.capture_source = demo_section.u64("capture_source");
        demo.capture_flip = demo_section.boolean("capture_flip");
        // The video file is needed only when it is the first source; given
        // otherwise, it joins the sources that space steps through.
        if (lower_case(data_source) == "video" || demo_section.has("path_video")) {
            demo.path_video = demo_section.text("path_video");
        }
        demo.displaytime_image = demo_section.u64("displaytime_image");
        demo.memory_spaces = demo_section.u64("memory_spaces");
        demo.fullscreen = demo_section.boolean("fullscreen");
        demo.debug = demo_section.boolean_or("debug", false);
        demo.ignore_duplicate_frames = demo_section.boolean_or("ignore_duplicate_frames", false);

        const Section network(path, root, "NetworkConfiguration");
        files.ip_address = network.text("ip_address");
        files.udp_port = network.u16("udp_port");
        files.packet_size = network.u32("packet_size");
        files.write_rate_limit = network.u32("write_rate_limit");
        read_limits(network, core.limits, files.link_limits);
        core.limits.wait = read_core_wait(network, core.limits.wait);

        warn_unknown_sections(path, root, {&yolo, &demo_section, &network});
        yolo.warn_unknown_keys();
        demo_section.warn_unknown_keys();
        network.warn_unknown_keys();
    } catch (const YAML::Exception& e) {
        // Every lookup above is checked; this only guards against a library
        // surprise, which must still end in a clear report.
        fail("Configuration file " + path + ": " + e.what());
    }

    // The image folder always ends in exactly the separator the platform uses.
    // An empty one stays empty (the image source then has no folder), rather
    // than becoming the root folder.
    find_and_replace(demo.path_image_glob, "\\", "/");
    if (!demo.path_image_glob.empty()) demo.path_image_glob = caffix_string(demo.path_image_glob, "/");

    data_source = lower_case(data_source);
    data_fit = lower_case(data_fit);
    demo.data_source = map_data_source(data_source);
    demo.data_fit = map_data_fit(data_fit);

    if (demo.data_fit == DATA_FIT::NONE) {
        throw exception_fatal(
            {"Invalid data fit selected", "data_fit_ == " + data_fit, "data_fit  == DATA_FIT::NONE"});
    }
}

void fill_core_constants(Core& core) {
    core.input_width = network::INPUT_SIZE;
    core.input_height = network::INPUT_SIZE;
    core.input_fraction_bits = network::INPUT_FRACTION_BITS;
    core.output_fraction_bits = network::OUTPUT_FRACTION_BITS;
    core.boxes_per_cell = network::BOXES_PER_CELL;
    core.classes = network::CLASSES;
    core.channels_per_box = network::CHANNELS_PER_BOX;
    core.output_channels = network::OUTPUT_CHANNELS;
    core.grid_height = network::GRID;
    core.grid_width = network::GRID;
    core.output_size = network::OUTPUT_BYTES;
    core.anchors.assign(network::ANCHORS.begin(), network::ANCHORS.end());
}

void fill_post_processing(PostProcessing& post) {
    post.threshold_probability = 0.275f;
    post.threshold_overlap = 0.575f;
    post.max_box_area = std::numeric_limits<int32_t>::max();
    post.selected_classes.clear();
    for (int64_t k = 0; k < network::CLASSES; ++k) post.selected_classes.push_back(k);
    post.labels.assign(network::CLASS_NAMES.begin(), network::CLASS_NAMES.end());
    post.colours = get_kelly_lut();
}
