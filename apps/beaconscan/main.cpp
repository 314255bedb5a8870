// beaconscan: decodes the PI4 beacon frames of many recordings at once, on
// several threads, each exactly as beacondec decodes it, and writes records
// that programs can read: text, JSON Lines or CSV.
//
// Files are decoded in parallel and their records written in the order of
// the command line, so the output does not depend on the number of jobs.
//
// With --mqtt every record also goes to one or more MQTT brokers, as its JSON
// Lines object, whatever the output format; SIGTERM and SIGINT then stop the
// scan after the files being decoded, so that what is queued can be sent.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "beaconscan/decode_file.hpp"
#include "beaconscan/inputs.hpp"
#include "beaconscan/options.hpp"
#include "beaconscan/progress.hpp"
#include "beaconscan/records.hpp"
#include "common/parse.hpp"
#include "util/format.hpp"
#include "util/ordered_pool.hpp"
#include "util/processors.hpp"

namespace beacon {
namespace {

// Standard input read to its end, or why it could not be.
struct StandardInput {
    std::vector<std::uint8_t> bytes;
    std::string error;
};

StandardInput read_standard_input() {
    StandardInput in;
    std::vector<std::uint8_t> chunk(1 << 16);
    try {
        for (;;) {
            const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), stdin);
            in.bytes.insert(in.bytes.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
            if (n < chunk.size()) break;
        }
    } catch (const std::bad_alloc&) {
        in.bytes = {};
        in.error = "standard input is too large to hold in memory";
        return in;
    }
    if (std::ferror(stdin))
        in.error = std::string("cannot read standard input: ") + std::strerror(errno);
    return in;
}

// Standard output, written with write(2) rather than stdio so that the
// records of one file leave in one call: a log being followed sees them as
// soon as they are known, and runs sharing one pipe do not split each
// other's lines (up to PIPE_BUF bytes, 4096 on Linux).
class Output {
  public:
    void write_all(const std::string& text) {
        for (std::size_t done = 0; error_.empty() && done < text.size();) {
            const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? std::strerror(errno) : "nothing written";
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    // Why writing failed, or empty.
    const std::string& error() const { return error_; }

  private:
    std::string error_;
};

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

// The signal that asked the scan to stop (SIGTERM, SIGINT), or 0.
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int sig) {
    stop_signal = sig;
    // Standard input ends here: a read that is about to start would
    // otherwise wait for a writer that may never close it (a read already
    // waiting is interrupted by the signal itself).
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
}

// Stop signals are caught only with --mqtt: without it they end the program
// at once, as they always did. A second one ends it at once too.
void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESETHAND;  // no SA_RESTART: reading standard input is interrupted
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

// Starts the publishers with the stop signals blocked, so that their threads
// never take them and the main thread's blocking calls are interrupted. The
// handlers are in place before the signals are let through again: a signal
// that came meanwhile (the broker may already show the station online) is
// caught, not fatal.
std::string start_mqtt(MqttOutput& mqtt, const ScanCommand& cmd) {
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    std::string why = mqtt.start(cmd.mqtt_publishers, cmd.mqtt.linger_s);
    if (why.empty()) catch_stop_signals();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return why;
}

struct Tally {
    std::size_t files = 0, with_spots = 0, failed = 0, spots = 0;
    double audio_seconds = 0.0;
};

int scan(const ScanCommand& cmd) {
    MqttOutput mqtt("beaconscan");
    if (!cmd.mqtt_publishers.empty()) {
        if (const std::string why = start_mqtt(mqtt, cmd); !why.empty()) {
            std::fprintf(stderr, "beaconscan: %s\n", why.c_str());
            return 2;
        }
    }
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
    Output output;
    output.write_all(format_header(cmd.format));
    auto print_mqtt = [&](const std::vector<std::string>& lines) {
        if (lines.empty()) return;
        progress.hide();
        for (const std::string& line : lines)
            std::fputs(line.c_str(), stderr);
    };
    // Files not decoded because a stop signal came first.
    std::vector<char> skipped(inputs.size(), 0);

    Tally tally;
    std::atomic<bool> output_failed{false};
    const int jobs = cmd.jobs > 0 ? cmd.jobs : available_processors();
    run_in_order(
        inputs.size(), jobs,
        [&](std::size_t i) {
            // Once the output cannot be written, decoding the rest is wasted.
            if (output_failed.load()) return FileReport{};
            if (stop_signal != 0) {
                skipped[i] = 1;
                return FileReport{};
            }
            FileReport r = decode_input(inputs[i], standard_input, cmd.settings);
            progress.file_done(bytes_of(inputs[i]), r.audio_seconds);
            return r;
        },
        [&](std::size_t i, FileReport&& r) {
            if (skipped[i]) return;
            ++tally.files;
            tally.failed += is_failure(r.status) ? 1 : 0;
            tally.with_spots += r.spots.empty() ? 0 : 1;
            tally.spots += r.spots.size();
            tally.audio_seconds += r.audio_seconds;
            const std::string records = format_report(cmd.format, r);
            // The records take the progress line's place on a terminal.
            if (stdout_is_terminal) progress.hide();
            output.write_all(records);
            if (!output.error().empty()) output_failed = true;
            if (mqtt.active()) {
                mqtt.publish_lines(cmd.settings.decode.freq,
                                   cmd.format == OutputFormat::jsonl
                                       ? records
                                       : format_report(OutputFormat::jsonl, r));
                print_mqtt(mqtt.take_messages());
            }
            progress.refresh();
        },
        [&] {
            if (mqtt.active()) print_mqtt(mqtt.take_messages());
            progress.refresh();
        },
        std::chrono::milliseconds(100));

    progress.finish(format(
        "beaconscan: %zu files (%zu with spots, %zu failed), %zu spots, %.2f h of audio",
        tally.files, tally.with_spots, tally.failed, tally.spots, tally.audio_seconds / 3600.0));

    bool lost = false;
    if (mqtt.active()) {
        MqttOutput::Finished f = mqtt.finish();
        print_mqtt(f.messages);
        lost = f.lost;
    }
    if (!output.error().empty())
        std::fprintf(stderr, "beaconscan: cannot write the output: %s\n", output.error().c_str());
    if (stop_signal != 0) return 128 + stop_signal;
    if (lost) return MQTT_LOST_STATUS;
    return !output.error().empty() || tally.failed > 0 ? 1 : 0;
}

}  // namespace
}  // namespace beacon

int main(int argc, char** argv) {
    beacon::ScanCommand cmd;
    const int status = beacon::parse_options(argc, argv, cmd, stdout, stderr);
    if (status != beacon::PARSE_CONTINUE) return status;
    return beacon::scan(cmd);
}
