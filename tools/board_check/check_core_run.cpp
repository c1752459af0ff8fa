// The core-run check: a test frame into the input of buffer set 0, the
// output area marked, one run started and awaited as the demonstrator's
// core-control stage does it, and the output read back.
#include "tools/board_check/checks.hpp"

#include "link/exceptions.hpp"
#include "pipeline/process_worker.hpp"
#include "records/network.hpp"

namespace board_check {

namespace {

constexpr uint32_t OUTPUT_MARK = 0xA5A5A5A5u;

// Three planes of a diagonal gradient, each sample halved as the board
// takes it.
std::vector<uint32_t> test_frame() {
    std::vector<uint8_t> bytes(network::INPUT_BYTES);
    for (size_t plane = 0; plane < size_t(network::INPUT_PLANES); ++plane)
        for (size_t y = 0; y < size_t(network::INPUT_SIZE); ++y)
            for (size_t x = 0; x < size_t(network::INPUT_SIZE); ++x)
                bytes[plane * network::PLANE_BYTES + y * network::INPUT_SIZE + x] =
                    static_cast<uint8_t>(((x + y + 64 * plane) & 0xFF) >> network::INPUT_FRACTION_BITS);
    std::vector<uint32_t> words(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = uint32_t(bytes[4 * i]) | (uint32_t(bytes[4 * i + 1]) << 8) | (uint32_t(bytes[4 * i + 2]) << 16) |
                   (uint32_t(bytes[4 * i + 3]) << 24);
    return words;
}

}  // namespace

CheckResult check_core_run(Session& session) {
    CheckResult r{"core run"};
    auto link = session.open_link(safe_rate(session));
    const Area input = session.input_area(0);
    const Area output = session.output_area(0);
    const std::vector<uint32_t> frame = test_frame();
    const std::vector<uint32_t> mark(output.words, OUTPUT_MARK);
    const auto limit_ms = std::chrono::duration_cast<std::chrono::milliseconds>(session.core().limits.completion).count();
    link->udp_write_ddr(frame.data(), input.address, input.words);
    link->udp_write_ddr(mark.data(), output.address, output.words);

    auto core = std::make_shared<Core>(session.core());
    ProcessWorker worker(link, core, core->limits);
    worker.pingpong = 0;
    try {
        worker.start_core();
        worker.wait_core_done();
    } catch (const exception_reset& error) {
        const std::string what = error.what();
        if (what.find("timeout wait core done") != std::string::npos)
            return r.set(Verdict::warn, "no run finished within core_completion_limit_ms (" +
                                            std::to_string(limit_ms) + " ms)",
                         "the core may lack its weights (try --weights) or hang; the demonstrator would reset the "
                         "board at every frame; reset the board and check the firmware");
        if (what.find("@start core") != std::string::npos)
            return r.set(Verdict::warn, "the core was not idle before the run",
                         "a run is in progress or hangs; the demonstrator resets the board at its first frame; "
                         "reset it now");
        if (what.find("@start_core") != std::string::npos)
            return r.set(Verdict::warn, "a write that starts the run got no acknowledgement",
                         "with fabric_write_attempts 1 the demonstrator resets the board (16 s) for each such loss; "
                         "see the replies check and use the limits below");
        return r.set(Verdict::warn, "the run's end could not be seen: the core's registers did not answer",
                     "replies were lost; see the replies check and use the limits below");
    }
    const double run_ms = double(worker.duration_us) / 1000.0;
    session.measured.run_ms = run_ms;
    r.add("run_ms", run_ms);
    std::vector<uint32_t> back;
    try {
        back = stream_read(*link, output.address, output.words, session.measured);
    } catch (const exception_readtimeout&) {
        return r.set(Verdict::fail, "run finished in " + fixed(run_ms, 1) + " ms, but its output could not be read",
                     "the board does not stream its output back; the demonstrator would reset it at every frame");
    }
    if (back == mark)
        return r.set(Verdict::warn, "run finished in " + fixed(run_ms, 1) + " ms, but the output area is unchanged",
                     "the core reports done without writing its output; check address_output and the firmware");
    return r.set(Verdict::pass, "run finished in " + fixed(run_ms, 1) + " ms, output read (" +
                                    std::to_string(network::OUTPUT_BYTES) + " bytes)");
}

}  // namespace board_check
