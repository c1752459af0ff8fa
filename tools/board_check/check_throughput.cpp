// The throughput check: at each rate of a ladder, four frames' worth of
// paced writes into the two input areas, back to back as the demonstrator
// sends them when the core keeps up with the link, then read back. The
// highest rate with nothing lost, refined between the last rate that held
// and the first that did not, gives the recommended write_rate_limit.
#include "tools/board_check/checks.hpp"

#include "link/exceptions.hpp"
#include "tools/board_check/memory_patterns.hpp"

#include <cmath>

namespace board_check {

namespace {

constexpr uint32_t LADDER[] = {25, 50, 100, 200, 400};
constexpr int REFINEMENTS = 2;
constexpr int FRAMES_PER_RATE = 4;
// A busy host may fall behind the pace it was set to: a rate is tried again
// (this many times in all) until its uploads went out at this share of it.
constexpr int TRIES_PER_RATE = 5;
constexpr double REACHED = 0.9;
// The recommended rate: the highest that held, less a small margin, in
// steps of 5 MiB/s. The uploads of a rate are four frames back to back,
// where the demonstrator sends one frame and then waits for the core: that
// is most of the margin.
constexpr double MARGIN = 0.95;
constexpr uint32_t RATE_STEP = 5;

struct Rung {
    uint32_t rate = 0;    // the write_rate_limit the link paced at
    double sent = 0;      // MiB/s the uploads took, which a busy host may keep below `rate`
    uint64_t lost = 0;    // write datagrams found missing
    bool read_failed = false;
    bool held() const { return lost == 0 && !read_failed; }
    bool reached() const { return sent >= REACHED * rate; }
};

Rung upload_once(Session& session, uint32_t rate) {
    Rung rung{rate};
    auto link = session.open_link(session.check_limits(), rate);
    const Area areas[2] = {session.input_area(0), session.input_area(1)};
    std::vector<uint32_t> frames[FRAMES_PER_RATE];
    for (int frame = 0; frame < FRAMES_PER_RATE; ++frame) {
        const Area& a = areas[frame % 2];
        frames[frame] = make_pattern(Pattern::random, a.address, a.words, uint64_t(rate) * 16 + uint64_t(frame));
    }
    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < FRAMES_PER_RATE; ++frame) {
        const Area& a = areas[frame % 2];
        link->udp_write_ddr(frames[frame].data(), a.address, a.words);
    }
    const double seconds = ms_between(start, std::chrono::steady_clock::now()) / 1000.0;
    const double mib = double(FRAMES_PER_RATE) * double(areas[0].words) * 4.0 / 1048576.0;
    rung.sent = seconds > 0 ? mib / seconds : double(rate);
    const std::vector<uint32_t>* last[2] = {&frames[FRAMES_PER_RATE - 2], &frames[FRAMES_PER_RATE - 1]};
    // Read back with single-datagram reads, so that what a stream read might
    // get wrong does not count here.
    for (int k = 0; k < 2; ++k) {
        std::vector<uint32_t> back(areas[k].words);
        try {
            link->udp_read_ddr(back.data(), areas[k].address, areas[k].words);
        } catch (const exception_readtimeout&) {
            rung.read_failed = true;
            return rung;
        }
        rung.lost += blocks_with_mismatches(last[k]->data(), back.data(), back.size(), session.payload_words());
    }
    return rung;
}

// The rung whose uploads came closest to the rate.
Rung try_rate(Session& session, uint32_t rate) {
    Rung best;
    for (int i = 0; i < TRIES_PER_RATE; ++i) {
        const Rung rung = upload_once(session, rate);
        if (i == 0 || rung.sent > best.sent) best = rung;
        if (best.reached()) break;
    }
    return best;
}

// "124 MiB/s (write_rate_limit 125)".
std::string rate_text(const Rung& rung) {
    return fixed(rung.sent, 0) + " MiB/s (write_rate_limit " + std::to_string(rung.rate) + ")";
}

std::string rung_text(const Rung& rung) {
    if (rung.read_failed) return "read-back failed at " + rate_text(rung);
    return std::to_string(rung.lost) + " datagrams lost at " + rate_text(rung);
}

}  // namespace

uint32_t safe_rate(const Session& session) { return std::min(session.files().write_rate_limit, LADDER[0]); }

CheckResult check_throughput(Session& session) {
    CheckResult r{"throughput"};
    std::vector<Rung> rungs;
    // Up to the first rate that loses data, or that this host sends no
    // faster than the rate below it: a higher one would go out no faster.
    bool host_limited = false;
    for (uint32_t rate : LADDER) {
        const double below = rungs.empty() ? 0.0 : rungs.back().sent;
        rungs.push_back(try_rate(session, rate));
        if (!rungs.back().held()) break;
        host_limited = !rungs.back().reached() && rungs.back().sent <= below;
        if (host_limited) break;
    }
    const std::string first_failure = rungs.back().held() ? std::string() : rung_text(rungs.back());
    // Between the last rate that held and the first that did not.
    const auto bounds = [&rungs](const Rung*& held, const Rung*& lost) {
        held = nullptr;
        lost = nullptr;
        for (const Rung& rung : rungs) {
            if (rung.held() && (!held || rung.rate > held->rate)) held = &rung;
            if (!rung.held() && (!lost || rung.rate < lost->rate)) lost = &rung;
        }
    };
    const Rung* held = nullptr;
    const Rung* lost = nullptr;
    bounds(held, lost);
    for (int i = 0; i < REFINEMENTS && held && lost; ++i) {
        const uint32_t middle = (held->rate + lost->rate) / 2;
        if (middle <= held->rate || middle >= lost->rate) break;
        rungs.push_back(try_rate(session, middle));
        bounds(held, lost);
    }
    for (const Rung& rung : rungs) {
        r.add("lost_at_" + std::to_string(rung.rate), double(rung.lost));
        r.add("sent_mibps_at_" + std::to_string(rung.rate), rung.sent);
    }
    const uint32_t configured = session.files().write_rate_limit;
    if (!held) {
        return r.set(Verdict::fail, "data lost at every rate tried (" + first_failure + ")",
                     "the board loses uploads even at " + std::to_string(LADDER[0]) +
                         " MiB/s: the demonstrator would show broken frames; check the cable, the switch and the "
                         "board's network interface");
    }
    // A host that cannot keep up sends below the rate it was set to; what
    // held is what was sent.
    const auto carried = [](const Rung& rung) { return std::min(double(rung.rate), rung.sent); };
    const Rung* best = held;
    for (const Rung& rung : rungs)
        if (rung.held() && carried(rung) > carried(*best)) best = &rung;
    const double highest = carried(*best);
    const double with_margin = highest * MARGIN;
    const uint32_t recommended = with_margin >= RATE_STEP
                                     ? static_cast<uint32_t>(with_margin / RATE_STEP) * RATE_STEP
                                     : std::max<uint32_t>(1, static_cast<uint32_t>(with_margin));
    session.measured.highest_rate = static_cast<uint32_t>(highest);
    session.measured.recommended_rate = recommended;
    r.add("highest_mibps", highest).add("recommended_mibps", recommended).add("configured_mibps", configured);
    std::string figure = "nothing lost up to " + rate_text(*best);
    if (lost) figure += ", " + rung_text(*lost);
    else if (host_limited) figure += ", as fast as this host sent";
    else figure += ", the highest tried";
    figure += "; recommended write_rate_limit " + std::to_string(recommended) + " (configured " +
              std::to_string(configured) + ")";
    if (configured > recommended)
        return r.set(Verdict::warn, figure,
                     "at the configured rate the board may lose frame datagrams (broken frames, wrong "
                     "detections); set write_rate_limit to " + std::to_string(recommended));
    return r.set(Verdict::pass, figure);
}

}  // namespace board_check
