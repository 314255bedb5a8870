#include "beaconscan/options.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/cli.hpp"
#include "util/processors.hpp"
#include "util/utc_time.hpp"

namespace beacon {
namespace {

constexpr int MAX_JOBS = 1024;

constexpr const char* DESCRIPTION =
    "beaconscan decodes the PI4 beacon frames of many WAV recordings at once, in parallel,\n"
    "exactly as beacondec decodes each of them, and writes one record per spot (or one per\n"
    "file without a spot) as text, JSON Lines or CSV.\n";

constexpr const char* FOOTER =
    "PATH is a WAV file, a directory (all *.wav files of its tree, in sorted order) or - for\n"
    "a WAV file on standard input. Records come out in the order of the paths, whatever\n"
    "the number of jobs.\n"
    "\n"
    "The UTC time of a spot is the recording's start time plus its DT. The start time is\n"
    "read from the file name (20261206_120000, 261206_120000, 2026-12-06T12:00:00Z and\n"
    "similar forms; see man beaconscan), else taken from --start, else left empty.\n"
    "\n"
    "Exit status: 0 when every file was read, 1 when one could not be read or prepared,\n"
    "2 for a command-line error, 3 when records meant for an MQTT broker were lost.\n"
    "\n"
    "Examples:\n"
    "  beaconscan recordings/\n"
    "  beaconscan --format jsonl -j 4 archive/ > spots.jsonl\n"
    "  beaconsim -m OZ7IGY/B /dev/stdout | beaconscan --start 2026-12-06T12:00:00Z -";

CLI::Validator output_format() {
    return CLI::Validator(
        [](std::string& text) {
            if (parse_output_format(text)) return std::string();
            return "'" + text + "' is not one of text, jsonl, csv";
        },
        "");
}

CLI::Validator time_stamp() {
    return CLI::Validator(
        [](std::string& text) {
            if (parse_time_stamp(text)) return std::string();
            return "'" + text + "' is not a date and time such as 2026-12-06T12:00:00Z";
        },
        "");
}

}  // namespace

int parse_options(int argc, const char* const* argv, ScanCommand& cmd, std::FILE* out,
                  std::FILE* err) {
    DecodeSettings& s = cmd.settings.decode;
    CLI::App app(DESCRIPTION, "beaconscan");
    cli::configure(app, "beaconscan", FOOTER);

    const auto real = cli::converts_to<double>("a number");
    std::string format_name = "text";
    std::string start_text;
    app.add_option("PATH", cmd.paths, "WAV files, directories, or - for standard input")
        ->type_name("")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("-f,--freq", s.freq, "Nominal carrier frequency, Hz")
        ->type_name("FREQ")
        ->check(real)
        ->capture_default_str();
    app.add_option("-t,--tol", s.tol, "Half-width of the frequency search range, Hz")
        ->type_name("TOL")
        ->check(real)
        ->capture_default_str();
    app.add_option("-d,--dtmax", s.dtmax, "Latest start of the first frame, seconds")
        ->type_name("DTMAX")
        ->check(real)
        ->capture_default_str();
    app.add_option("--format", format_name, "Output format: text, jsonl or csv")
        ->type_name("FORMAT")
        ->check(output_format())
        ->capture_default_str();
    auto* start_opt =
        app.add_option("--start", start_text,
                       "Start time of recordings whose name holds none (UTC unless an offset "
                       "is given)")
            ->type_name("TIME")
            ->check(time_stamp());
    auto* jobs_opt = app.add_option("-j,--jobs", cmd.jobs,
                                    "Files decoded at once (default: one per processor, here " +
                                        std::to_string(available_processors()) + ")")
                         ->type_name("N")
                         ->check(cli::converts_to<int>("a whole number"));
    app.add_flag("-q,--quiet", cmd.quiet, "No progress line on standard error");
    add_mqtt_options(app, cmd.mqtt);

    const int parsed = cli::parse(app, argc, argv, "beaconscan", nullptr, out, err);
    if (parsed != PARSE_CONTINUE) return parsed;
    const std::pair<const char*, double> reals[] = {
        {"--freq", s.freq}, {"--tol", s.tol}, {"--dtmax", s.dtmax}};
    for (const auto& [name, v] : reals) {
        if (!std::isfinite(v)) {
            std::fprintf(err, "beaconscan: %s: must be a finite number, got %g\n", name, v);
            return 2;
        }
    }
    if (jobs_opt->count() > 0 && (cmd.jobs < 1 || cmd.jobs > MAX_JOBS)) {
        std::fprintf(err, "beaconscan: --jobs: must be from 1 to %d, got %d\n", MAX_JOBS, cmd.jobs);
        return 2;
    }
    if (cmd.paths.empty()) {
        std::fprintf(err, "beaconscan: no file or directory given (see --help)\n");
        return 2;
    }
    if (std::count(cmd.paths.begin(), cmd.paths.end(), "-") > 1) {
        std::fprintf(err, "beaconscan: - (standard input) can be given only once\n");
        return 2;
    }
    cmd.format = *parse_output_format(format_name);
    if (start_opt->count() > 0) cmd.settings.start = parse_time_stamp(start_text);
    MqttSetup mqtt = check_mqtt_options(cmd.mqtt, std::getenv("BEACON_MQTT_USER"),
                                        std::getenv("BEACON_MQTT_PASSWORD"));
    if (!mqtt.error.empty()) {
        std::fprintf(err, "beaconscan: %s\n", mqtt.error.c_str());
        return 2;
    }
    cmd.mqtt_publishers = std::move(mqtt.publishers);
    return PARSE_CONTINUE;
}

}  // namespace beacon
