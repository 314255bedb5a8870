// beaconscan: decodes the PI4 beacon frames of many recordings at once, on
// several threads, each exactly as beacondec decodes it, and writes records
// that programs can read: text, JSON Lines or CSV.
//
// Files are decoded in parallel and their records written in the order of
// the command line, so the output does not depend on the number of jobs.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "driver/cmdline.hpp"
#include "driver/scan_cmdline.hpp"
#include "driver/scan_decode.hpp"
#include "driver/scan_files.hpp"
#include "driver/scan_output.hpp"
#include "driver/scan_pool.hpp"
#include "driver/scan_progress.hpp"

namespace beacon {
namespace {

// Standard input read to its end, or why it could not be.
struct StandardInput {
    std::vector<char> bytes;
    std::string error;
};

StandardInput read_standard_input() {
    StandardInput in;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), stdin);
        in.bytes.insert(in.bytes.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
        if (n < chunk.size()) break;
    }
    if (std::ferror(stdin))
        in.error = std::string("cannot read standard input: ") + std::strerror(errno);
    return in;
}

FileReport decode_input(const ScanInput& input, const StandardInput& standard_input,
                        const ScanSettings& settings) {
    try {
        switch (input.kind) {
            case ScanInput::Kind::file:
                return decode_path(input.path, settings);
            case ScanInput::Kind::standard_input:
                if (!standard_input.error.empty()) {
                    FileReport r;
                    r.file = input.path;
                    r.status = ScanStatus::read_error;
                    r.error = standard_input.error;
                    return r;
                }
                return decode_bytes(standard_input.bytes, input.path, settings);
            case ScanInput::Kind::bad_directory:
                break;
        }
        FileReport r;
        r.file = input.path;
        r.status = ScanStatus::read_error;
        r.error = "cannot read directory: " + input.error;
        return r;
    } catch (const std::exception& e) {
        // Out of memory, most likely: this file fails, the others go on.
        FileReport r;
        r.file = input.path;
        r.status = ScanStatus::prepare_error;
        r.error = e.what();
        return r;
    }
}

struct Tally {
    std::size_t files = 0, with_spots = 0, failed = 0, spots = 0;
    double audio_seconds = 0.0;
};

int scan(const ScanCommand& cmd) {
    const std::vector<ScanInput> inputs = find_inputs(cmd.paths);
    if (inputs.empty()) std::fprintf(stderr, "beaconscan: no WAV files found\n");

    StandardInput standard_input;
    std::uint64_t bytes_total = 0;
    for (const ScanInput& in : inputs) {
        if (in.kind == ScanInput::Kind::standard_input) {
            standard_input = read_standard_input();
            bytes_total += standard_input.bytes.size();
        }
        bytes_total += in.bytes;
    }
    auto bytes_of = [&](const ScanInput& in) -> std::uint64_t {
        return in.kind == ScanInput::Kind::standard_input ? standard_input.bytes.size() : in.bytes;
    };

    const bool stdout_is_terminal = isatty(STDOUT_FILENO) != 0;
    ProgressDisplay progress(stderr, !cmd.quiet && isatty(STDERR_FILENO) != 0, inputs.size(),
                             bytes_total);
    std::fputs(format_header(cmd.format).c_str(), stdout);

    Tally tally;
    const int jobs = cmd.jobs > 0 ? cmd.jobs : available_processors();
    run_in_order(
        inputs.size(), jobs,
        [&](std::size_t i) {
            FileReport r = decode_input(inputs[i], standard_input, cmd.settings);
            progress.file_done(bytes_of(inputs[i]), r.audio_seconds);
            return r;
        },
        [&](std::size_t, FileReport&& r) {
            ++tally.files;
            tally.failed += is_failure(r.status) ? 1 : 0;
            tally.with_spots += r.spots.empty() ? 0 : 1;
            tally.spots += r.spots.size();
            tally.audio_seconds += r.audio_seconds;
            const std::string records = format_report(cmd.format, r);
            if (stdout_is_terminal) {
                // The records take the progress line's place on the screen.
                progress.hide();
                std::fputs(records.c_str(), stdout);
                std::fflush(stdout);
            } else {
                std::fputs(records.c_str(), stdout);
            }
            progress.refresh();
        },
        [&] { progress.refresh(); }, std::chrono::milliseconds(100));

    char hours[32];
    std::snprintf(hours, sizeof hours, "%.2f", tally.audio_seconds / 3600.0);
    progress.finish("beaconscan: " + std::to_string(tally.files) + " files (" +
                    std::to_string(tally.with_spots) + " with spots, " +
                    std::to_string(tally.failed) + " failed), " + std::to_string(tally.spots) +
                    " spots, " + hours + " h of audio");

    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "beaconscan: cannot write the output: %s\n", std::strerror(errno));
        return 1;
    }
    return tally.failed > 0 ? 1 : 0;
}

}  // namespace
}  // namespace beacon

int main(int argc, char** argv) {
    beacon::ScanCommand cmd;
    const int status = beacon::parse_scan_command_line(argc, argv, cmd, stdout, stderr);
    if (status != beacon::SCAN_CONTINUE) return status;
    return beacon::scan(cmd);
}
