// The memory check: patterns written paced into the input and output areas
// of both buffer sets and read back with stream reads; with --weights the
// configured weight image uploaded as the demonstrator uploads it and read
// back whole.
#include "tools/board_check/checks.hpp"

#include "link/exceptions.hpp"
#include "pipeline/file_readers.hpp"
#include "tools/board_check/memory_patterns.hpp"

namespace board_check {

namespace {

constexpr uint32_t WEIGHTS_ADDRESS = 0;
// The demonstrator's wait for each acknowledgement of the weight upload.
constexpr std::chrono::nanoseconds WEIGHT_ACK_LIMIT = std::chrono::seconds(1);

// The weight image as the board receives it: little-endian words, a
// remainder of 1 to 3 bytes left out.
std::vector<uint32_t> weight_words(const std::vector<char>& bytes) {
    std::vector<uint32_t> words(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); ++i) {
        const auto b = [&](size_t k) { return uint32_t(static_cast<unsigned char>(bytes[4 * i + k])); };
        words[i] = b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
    }
    return words;
}

std::string mismatch_figure(const Mismatches& m, uint64_t words_checked) {
    return std::to_string(m.words) + " of " + std::to_string(words_checked) + " words read back wrong, first at " +
           m.addresses_text();
}

}  // namespace

CheckResult check_memory(Session& session, const CheckSettings& settings) {
    CheckResult r{"memory"};
    auto link = session.open_link(session.check_limits(), safe_rate(session));
    const std::vector<Area> areas{session.input_area(0), session.output_area(0), session.input_area(1),
                                  session.output_area(1)};
    Mismatches wrong;
    uint64_t words_checked = 0;
    uint64_t bytes_per_pattern = 0;
    for (const Area& a : areas) bytes_per_pattern += uint64_t(a.words) * 4;
    try {
        for (Pattern pattern : {Pattern::walking_ones, Pattern::own_address, Pattern::random}) {
            // Every area is written before any is read, so that areas that
            // alias one another show it.
            std::vector<std::vector<uint32_t>> written;
            for (size_t k = 0; k < areas.size(); ++k) {
                written.push_back(make_pattern(pattern, areas[k].address, areas[k].words, k + 1));
                link->udp_write_ddr(written.back().data(), areas[k].address, areas[k].words);
            }
            for (size_t k = 0; k < areas.size(); ++k) {
                const auto back = stream_read(*link, areas[k].address, areas[k].words, session.measured);
                wrong.add(compare_words(written[k].data(), back.data(), areas[k].words, areas[k].address));
                words_checked += areas[k].words;
            }
        }
    } catch (const exception_readtimeout&) {
        return r.set(Verdict::fail, "a stream read of the buffer areas got no complete answer",
                     "the board takes writes but does not stream its memory back within "
                     "stream_datagram_limit_ms; the demonstrator would reset the board at every frame; reset it "
                     "and check the firmware");
    }
    r.add("words_checked", double(words_checked)).add("words_wrong", double(wrong.words));
    if (!wrong.first.empty()) r.add("first_wrong_address", wrong.first.front());
    if (wrong.words > 0)
        return r.set(Verdict::fail, mismatch_figure(wrong, words_checked),
                     "whole blocks of " + std::to_string(session.files().packet_size) +
                         " bytes wrong are write datagrams lost (see throughput); scattered words, or data shifted "
                         "by a datagram, point at the board's memory or its stream replies: the demonstrator would "
                         "show wrong detections; check the firmware and the board");
    std::string figure = "3 patterns in 4 areas (" + fixed(double(bytes_per_pattern) / 1e6, 2) +
                         " MB each) read back intact";

    if (!settings.weights) return r.set(Verdict::pass, figure + "; weights area not touched (--weights checks it)");

    const auto bytes = load_mempacked_data_flat(session.files().path_weights_biases, 0);
    const std::vector<uint32_t> weights = weight_words(bytes ? *bytes : std::vector<char>());
    if (weights.empty())
        return r.set(Verdict::fail, figure + "; no weights in " + session.files().path_weights_biases,
                     "the weights file is missing, unreadable or empty; check path_weights_biases");
    try {
        link->udp_write_ack_ddr(weights.data(), WEIGHTS_ADDRESS, static_cast<uint32_t>(weights.size()),
                                WEIGHT_ACK_LIMIT);
    } catch (const exception_writeacktimeout&) {
        return r.set(Verdict::fail, figure + "; the weight upload got no acknowledgement",
                     "the demonstrator would fail the same way at start-up; check the link (replies) and reset "
                     "the board");
    }
    Mismatches weights_wrong;
    try {
        const auto back = stream_read(*link, WEIGHTS_ADDRESS, static_cast<uint32_t>(weights.size()), session.measured);
        weights_wrong = compare_words(weights.data(), back.data(), weights.size(), WEIGHTS_ADDRESS);
    } catch (const exception_readtimeout&) {
        return r.set(Verdict::fail, figure + "; the weights could not be read back",
                     "the board took the upload but does not stream it back; reset the board");
    }
    r.add("weight_words", double(weights.size())).add("weight_words_wrong", double(weights_wrong.words));
    if (weights_wrong.words > 0)
        return r.set(Verdict::fail, figure + "; weights: " + mismatch_figure(weights_wrong, weights.size()),
                     "the board does not hold the weights it acknowledged; the core would compute with wrong "
                     "weights; check the board's memory and firmware");
    return r.set(Verdict::pass, figure + "; weights (" + fixed(double(weights.size()) * 4 / 1e6, 2) +
                                    " MB) uploaded and read back intact");
}

}  // namespace board_check
