#include "beacondec/options.hpp"

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace beacon {

void print_usage(const char* progname, std::FILE* stream) {
    std::fprintf(stream, "beacondec %s - %s - PI4 (PharusIgnis4) decoder command-line tool\n",
                 VERSION, CREDIT);
    std::fprintf(stream, "\n");
    std::fprintf(stream, "Usage: %s [options] file.wav\n", progname);
    std::fprintf(stream, "\n");
    std::fprintf(stream, "Options:\n");
    std::fprintf(stream, "  -f FREQ    Nominal CW carrier frequency, in Hz (default 800)\n");
    std::fprintf(stream, "  -t TOL     Half-width of the search range, in Hz (default 150)\n");
    std::fprintf(stream, "  -d DTMAX   Upper bound of the time-offset search, in seconds, for\n");
    std::fprintf(stream,
                 "             the first spot (default 2.0) - further spots later in the\n");
    std::fprintf(stream, "             file are found automatically, see below\n");
    std::fprintf(stream, "  -T HHMMSS  UTC timestamp to display (default: system time)\n");
    std::fprintf(stream, "  -D         Diagnostic mode: prints all diagnostics on stderr\n");
    std::fprintf(stream, "             (without -D, minimal SKEL-style output: just the\n");
    std::fprintf(stream, "             result line(s), or one error line on failure)\n");
    std::fprintf(stream, "  -v         Prints \"beacondec %s - %s\" and exits (no file needed)\n",
                 VERSION, CREDIT);
    std::fprintf(stream, "  -V         Prints the version number and exits\n");
    std::fprintf(stream, "  -h         Prints this help and exits\n");
    std::fprintf(stream, "\n");
    std::fprintf(stream, "Output (stdout): HHMMSS SNR   DT   DF : MESSAGE, one line per spot.\n");
    std::fprintf(stream, "DT is always the offset from the very start of the file. After a\n");
    std::fprintf(stream, "spot is decoded, the rest of the file is searched automatically for\n");
    std::fprintf(stream, "another one (e.g. the beacon's next cycle); each gets its own line.\n");
    std::fprintf(stream, "\n");
    std::fprintf(stream, "Example:\n");
    std::fprintf(stream, "  %s beacon.wav\n", progname);
    std::fprintf(stream, "  %s -D -f 800 -t 150 -d 2.0 -T 190500 beacon.wav\n", progname);
}

int parse_options(int argc, char** argv, RunSettings& settings, std::FILE* out, std::FILE* err) {
    // exec() may pass no arguments at all; never hand a null name to printf.
    const char* progname = (argc > 0 && argv[0] != nullptr) ? argv[0] : "beacondec";

    if (argc < 2) {
        std::fprintf(err, "%s: missing .wav file\n\n", progname);
        print_usage(progname, err);
        return 2;
    }

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool is_option = arg[0] == '-' && arg[1] != '\0';
        if (!is_option) {
            if (settings.wav_path != nullptr) {
                std::fprintf(err, "%s: unexpected extra argument '%s'\n\n", progname, arg);
                print_usage(progname, err);
                return 2;
            }
            settings.wav_path = arg;
            continue;
        }

        const char letter = arg[1];
        const char* value = nullptr;
        if (letter == 'T' || letter == 'd' || letter == 'f' || letter == 't') {
            if (arg[2] != '\0') {
                value = arg + 2;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                std::fprintf(err, "%s: option -%c requires an argument\n", progname, letter);
                return 2;
            }
        }

        switch (letter) {
            case 'D':
                settings.diag = true;
                break;
            case 'T':
                if (std::strlen(value) != 6) {
                    std::fprintf(err, "%s: -T expects 6 digits (HHMMSS), got '%s'\n", progname,
                                 value);
                    return 2;
                }
                std::memcpy(settings.timestamp, value, 6);
                settings.timestamp[6] = '\0';
                settings.timestamp_given = true;
                break;
            case 'V':
                std::fprintf(out, "beacondec %s\n", VERSION);
                return 0;
            case 'd':
                settings.decode.dtmax = std::strtod(value, nullptr);
                break;
            case 'f':
                settings.decode.freq = std::strtod(value, nullptr);
                break;
            case 'h':
                print_usage(progname, out);
                return 0;
            case 't':
                settings.decode.tol = std::strtod(value, nullptr);
                break;
            case 'v':
                std::fprintf(out, "beacondec %s - %s\n", VERSION, CREDIT);
                return 0;
            default:
                std::fprintf(err, "%s: unknown option '%s'\n\n", progname, arg);
                print_usage(progname, err);
                return 2;
        }
    }

    if (settings.wav_path == nullptr) {
        std::fprintf(err, "%s: missing .wav file\n\n", progname);
        print_usage(progname, err);
        return 2;
    }
    return PARSE_CONTINUE;
}

void fill_timestamp(RunSettings& settings) {
    if (settings.timestamp_given) return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) == nullptr) utc = std::tm{};
    std::snprintf(settings.timestamp, sizeof settings.timestamp, "%02d%02d%02d", utc.tm_hour,
                  utc.tm_min, utc.tm_sec);
}

}  // namespace beacon
