#include "beaconmon/options.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/cli.hpp"
#include "decoder/decoder.hpp"
#include "util/processors.hpp"

namespace beacon::mon {
namespace {

constexpr int MAX_JOBS = 1024;
constexpr int MAX_CHANNELS = 64;
constexpr double MAX_WINDOW = 10.0;
constexpr int MAX_AVERAGE = 30;

constexpr const char* DESCRIPTION =
    "beaconmon reads audio as it arrives (files, standard input or a sound card), places\n"
    "every sample on the UTC clock, and for each whole minute decodes the PI4 frame that a\n"
    "beacon starts at second 0 of it: one record per minute and frequency.\n";

constexpr const char* FOOTER =
    "INPUT is - (standard input, the default) or files: WAV, FLAC, or with --raw headerless\n"
    "samples. Several files are placed on one timeline by their start times, from --start\n"
    "for the first, else from each file's name (20261207_100000.wav and similar forms).\n"
    "Standard input and devices without --start take the system clock when the first\n"
    "samples arrive and are kept on it.\n"
    "\n"
    "Exit status: 0 at the end of the input or after SIGINT/SIGTERM, 1 when an input,\n"
    "device or output cannot be used or a waterfall could not be written, 2 for a\n"
    "command-line error, 3 when records meant for an MQTT broker were lost.\n"
    "\n"
    "Examples:\n"
    "  arecord -f S16_LE -r 12000 -c 1 -t raw | beaconmon --raw s16le -r 12000\n"
    "  beaconmon -D hw:1,0 -f 800 -f 1200 --format jsonl -o /var/log/beacon.jsonl\n"
    "  beaconmon --format csv 20261207_100000.wav 20261207_110000.wav";

template <typename Parse>
CLI::Validator parses(Parse parse, const char* expected) {
    return CLI::Validator(
        [parse, expected](std::string& text) {
            if (parse(text)) return std::string();
            return "'" + text + "' is not " + expected;
        },
        "");
}

}  // namespace

int parse_options(int argc, const char* const* argv, Options& o, std::FILE* out, std::FILE* err) {
    CLI::App app(DESCRIPTION, "beaconmon");
    cli::configure(app, "beaconmon", FOOTER);

    const auto real = cli::converts_to<double>("a number");
    const auto whole = cli::converts_to<int>("a whole number");
    std::string raw_name, format_name = "text", start_text;
    int rate = 0;
    app.add_option("INPUT", o.inputs, "Files, or - for standard input (the default)")
        ->type_name("")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto* raw_opt =
        app.add_option("--raw", raw_name, "Headerless samples: s16le, s24le, s32le or f32le")
            ->type_name("ENC")
            ->check(parses(stream::parse_raw_encoding, "one of s16le, s24le, s32le, f32le"));
    auto* rate_opt =
        app.add_option("-r,--rate", rate, "Sample rate of --raw input or the device, Hz")
            ->type_name("HZ")
            ->check(whole);
    app.add_option("-c,--channels", o.channels, "Channels of --raw input or the device (1)")
        ->type_name("N")
        ->check(whole);
    app.add_option("-D,--device", o.device, "Capture from an ALSA device (hw:1,0, default, ...)")
        ->type_name("NAME");
    app.add_option("-f,--freq", o.freqs,
                   "Nominal carrier frequency, Hz (800); repeat for several beacons")
        ->type_name("HZ")
        ->check(real)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false);  // one value per -f: INPUT after it stays an input
    app.add_option("-t,--tol", o.tol, "Half-width of the frequency search, Hz")
        ->type_name("HZ")
        ->check(real)
        ->capture_default_str();
    app.add_option("-w,--window", o.window,
                   "Frame start searched from S before to S after the minute, 0 < S <= 10")
        ->type_name("S")
        ->check(real)
        ->capture_default_str();
    auto* start_opt =
        app.add_option("--start", start_text,
                       "UTC time of the first sample, e.g. 2026-12-07T10:00:00Z")
            ->type_name("TIME")
            ->check(parses(parse_start_time, "a date and time such as 2026-12-07T10:00:00Z"));
    app.add_option("--format", format_name, "Output format: text, jsonl or csv")
        ->type_name("FORMAT")
        ->check(parses(parse_format, "one of text, jsonl, csv"))
        ->capture_default_str();
    app.add_option("-o,--output", o.output, "Append the records to FILE (reopened on SIGHUP)")
        ->type_name("FILE");
    app.add_flag("--all", o.all,
                 "Text: a line for every minute, not only those with a frame or a carrier");
    bool no_carrier = false;
    app.add_flag("--no-carrier", no_carrier, "Do not measure the carrier after the frame");
    app.add_option("--waterfall", o.waterfall,
                   "Draw every minute's waterfall into DIR, a PNG named by the minute")
        ->type_name("DIR");
    app.add_flag("-q,--quiet", o.quiet, "No notes on standard error");
    auto* jobs_opt = app.add_option("-j,--jobs", o.jobs,
                                    "Minutes decoded at once (default: one per processor, here " +
                                        std::to_string(available_processors()) + ")")
                         ->type_name("N")
                         ->check(whole);
    add_mqtt_options(app, o.mqtt);

    app.add_option("--average", o.average,
                   "Combine a minute that does not decode alone with up to N - 1 earlier "
                   "minutes of the same -f; 1: off")
        ->type_name("N")
        ->check(whole)
        ->capture_default_str();

    const int parsed = cli::parse(app, argc, argv, "beaconmon", nullptr, out, err);
    if (parsed != PARSE_CONTINUE) return parsed;
    auto refuse = [&](const std::string& why) {
        std::fprintf(err, "beaconmon: %s\n", why.c_str());
        return 2;
    };
    if (o.freqs.empty()) o.freqs.push_back(800.0);
    for (double f : o.freqs)
        if (!std::isfinite(f))
            return refuse("--freq: must be a finite number, got " + std::to_string(f));
    if (!std::isfinite(o.tol) || o.tol < 0)
        return refuse("--tol: must be a finite number of 0 or more");
    if (!(o.window > 0 && o.window <= MAX_WINDOW))
        return refuse("--window: must be more than 0 and at most 10 seconds");
    if (rate_opt->count() > 0) {
        if (rate < stream::MIN_INPUT_RATE || rate > stream::MAX_INPUT_RATE)
            return refuse("--rate: must be from 8000 to 192000 Hz");
        o.rate = rate;
    }
    if (o.channels < 1 || o.channels > MAX_CHANNELS)
        return refuse("--channels: must be from 1 to 64");
    if (jobs_opt->count() > 0 && (o.jobs < 1 || o.jobs > MAX_JOBS))
        return refuse("--jobs: must be from 1 to 1024");
    if (o.average < 1 || o.average > MAX_AVERAGE) return refuse("--average: must be from 1 to 30");
    if (raw_opt->count() > 0) {
        if (!o.rate) return refuse("--raw needs --rate");
        o.raw = stream::parse_raw_encoding(raw_name);
    }
    if (!o.device.empty()) {
        if (!o.inputs.empty()) return refuse("--device and INPUT files exclude each other");
        if (o.raw) return refuse("--device and --raw exclude each other");
    }
    if (o.inputs.empty() && o.device.empty()) o.inputs.push_back("-");
    if (app.count("--waterfall") > 0 && o.waterfall.empty())
        return refuse("--waterfall: needs a folder");
    if (std::count(o.inputs.begin(), o.inputs.end(), "-") > 0 && o.inputs.size() > 1)
        return refuse("- (standard input) cannot be combined with other inputs");
    if (start_opt->count() > 0) o.start = parse_start_time(start_text);
    o.format = *parse_format(format_name);
    o.carrier = !no_carrier;
    MqttSetup mqtt = check_mqtt_options(o.mqtt, std::getenv("BEACON_MQTT_USER"),
                                        std::getenv("BEACON_MQTT_PASSWORD"));
    if (!mqtt.error.empty()) return refuse(mqtt.error);
    o.mqtt_publishers = std::move(mqtt.publishers);
    return CONTINUE;
}

}  // namespace beacon::mon
