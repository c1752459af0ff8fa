// board_check: says before a show whether the board, the cable and the
// settings will hold.
#include "platform/fatal_error.hpp"
#include "tools/board_check/options.hpp"
#include "tools/board_check/report_json.hpp"
#include "tools/board_check/run_checks.hpp"

#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <streambuf>

namespace {

// Takes and drops what is written to it.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The link and the stages report on the standard streams as they do in the
// demonstrator; while the checks run, those reports go to the error stream
// (--verbose) or nowhere, so that the table stands alone on standard output.
class LinkMessages {
public:
    explicit LinkMessages(bool verbose) : out_(std::cout.rdbuf()), err_(std::cerr.rdbuf()) {
        std::cout.rdbuf(verbose ? err_ : &null_);
        if (!verbose) std::cerr.rdbuf(&null_);
    }
    ~LinkMessages() {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(err_);
    }
    LinkMessages(const LinkMessages&) = delete;
    LinkMessages& operator=(const LinkMessages&) = delete;

private:
    NullBuffer null_;
    std::streambuf* out_;
    std::streambuf* err_;
};

}  // namespace

int main(int argc, char** argv) {
    board_check::Options options;
    try {
        options = board_check::parse_options(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const board_check::OptionsError& error) {
        std::cerr << "board_check: " << error.what() << '\n' << board_check::usage() << std::flush;
        return 2;
    }
    if (options.help) {
        std::cout << board_check::usage() << std::flush;
        return 0;
    }
    std::ofstream json;
    if (!options.json_path.empty()) {
        json.open(options.json_path);
        if (!json) {
            std::cerr << "board_check: cannot write " << options.json_path << std::endl;
            return 2;
        }
    }
    std::unique_ptr<board_check::Session> session;
    try {
        session = std::make_unique<board_check::Session>(options.config_path);
    } catch (const exception_fatal& error) {
        std::cerr << error.text() << std::flush;
        return 2;
    }

    board_check::CheckSettings settings;
    settings.weights = options.weights;
    board_check::Report report;
    std::string fatal;
    {
        const LinkMessages quiet(options.verbose);
        try {
            report = board_check::run_checks(*session, settings);
        } catch (const exception_fatal& error) {
            fatal = error.text();
        }
    }
    if (!fatal.empty()) {
        std::cerr << fatal << std::flush;
        return 1;
    }
    for (const std::string& line : board_check::report_lines(report)) std::cout << line << '\n';
    std::cout << std::flush;
    if (json.is_open()) {
        board_check::write_json(json, report);
        json.close();
        if (!json) {
            std::cerr << "board_check: cannot write " << options.json_path << std::endl;
            return 1;
        }
    }
    return board_check::exit_status(report.results);
}
