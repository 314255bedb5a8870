// beaconplot: draws one chart of beaconmon's or beaconscan's JSON Lines
// records, PNG or SVG by the output's suffix. Lines that cannot be used are
// reported and skipped; the chart is drawn from the rest.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "beaconplot/records.hpp"
#include "common/cli.hpp"
#include "plot/plot.hpp"

namespace beacon {
namespace {

constexpr const char* PROGRAM = "beaconplot";
constexpr int MAX_WARNINGS = 10;  // bad lines reported one by one; the rest counted

struct Options {
    std::vector<std::string> inputs;
    std::string output;
    std::string from, to, title;
};

struct FileClose {
    void operator()(std::FILE* f) const {
        if (f != stdin) std::fclose(f);
    }
};

struct Reading {
    std::vector<plot::ChartRecord> records;
    long bad = 0, without_utc = 0;
};

// Reads every line of one input into `reading`. False (with the message
// printed) when it cannot be opened or read.
bool read_input(const std::string& path, Reading& reading) {
    const bool is_stdin = path == "-";
    const std::string name = is_stdin ? "standard input" : path;
    errno = 0;
    std::unique_ptr<std::FILE, FileClose> f(is_stdin ? stdin : std::fopen(path.c_str(), "r"));
    if (!f) {
        std::fprintf(stderr, "%s: cannot open '%s': %s\n", PROGRAM, path.c_str(),
                     std::strerror(errno != 0 ? errno : EIO));
        return false;
    }
    char* buf = nullptr;
    std::size_t cap = 0;
    long number = 0;
    for (ssize_t n; (n = getline(&buf, &cap, f.get())) >= 0;) {
        ++number;
        const plotapp::LineResult line =
            plotapp::parse_record_line(std::string_view(buf, static_cast<std::size_t>(n)));
        switch (line.kind) {
            case plotapp::LineResult::Kind::record:
                reading.records.push_back(line.record);
                break;
            case plotapp::LineResult::Kind::blank:
                break;
            case plotapp::LineResult::Kind::no_utc:
                ++reading.without_utc;
                break;
            case plotapp::LineResult::Kind::bad:
                if (++reading.bad <= MAX_WARNINGS)
                    std::fprintf(stderr, "%s: %s:%ld: %s; line skipped\n", PROGRAM, name.c_str(),
                                 number, line.why.c_str());
                break;
        }
    }
    const bool failed = std::ferror(f.get()) != 0;
    const int err = errno;
    std::free(buf);
    if (failed) {
        std::fprintf(stderr, "%s: cannot read '%s': %s\n", PROGRAM, name.c_str(),
                     std::strerror(err != 0 ? err : EIO));
        return false;
    }
    return true;
}

int run(int argc, char** argv) {
    Options opt;
    CLI::App app("Draws a chart of beaconmon or beaconscan records (JSON Lines).", PROGRAM);
    cli::configure(app, PROGRAM,
                   "Reads standard input when no INPUT is given. See man beaconplot.");
    app.add_option("INPUT", opt.inputs, "JSON Lines files, '-' for standard input");
    app.add_option("-o,--output", opt.output, "Chart to write: a name ending in .png or .svg")
        ->required();
    app.add_option("--from", opt.from, "Start of the time range, ISO 8601 UTC");
    app.add_option("--to", opt.to, "End of the time range, ISO 8601 UTC");
    app.add_option("--title", opt.title, "Title of the chart");
    const int parsed =
        cli::parse(app, argc, argv, PROGRAM, "missing -o OUT (see --help)", stdout, stderr);
    if (parsed != PARSE_CONTINUE) return parsed;

    plot::ChartContent content;
    content.title = opt.title;
    for (auto [text, bound, name] : {std::tuple{&opt.from, &content.from_s, "--from"},
                                     std::tuple{&opt.to, &content.to_s, "--to"}}) {
        if (text->empty()) continue;
        *bound = plotapp::parse_utc(*text);
        if (!*bound) {
            std::fprintf(stderr, "%s: %s '%s' is not an ISO 8601 UTC time\n", PROGRAM, name,
                         text->c_str());
            return 2;
        }
    }
    if (content.from_s && content.to_s && *content.from_s >= *content.to_s) {
        std::fprintf(stderr, "%s: --from must come before --to\n", PROGRAM);
        return 2;
    }
    const std::string& out = opt.output;
    const bool png = out.size() > 4 && strcasecmp(out.c_str() + out.size() - 4, ".png") == 0;
    const bool svg = out.size() > 4 && strcasecmp(out.c_str() + out.size() - 4, ".svg") == 0;
    if (!png && !svg) {
        std::fprintf(stderr, "%s: the output '%s' must end in .png or .svg\n", PROGRAM,
                     out.c_str());
        return 2;
    }
    if (opt.inputs.empty()) opt.inputs.push_back("-");
    int stdins = 0;
    for (const std::string& in : opt.inputs)
        stdins += in == "-";
    if (stdins > 1) {
        std::fprintf(stderr, "%s: standard input ('-') may be given once\n", PROGRAM);
        return 2;
    }

    Reading reading;
    for (const std::string& in : opt.inputs)
        if (!read_input(in, reading)) return 1;
    if (reading.bad > MAX_WARNINGS)
        std::fprintf(stderr, "%s: %ld more bad lines skipped\n", PROGRAM,
                     reading.bad - MAX_WARNINGS);
    if (reading.without_utc > 0)
        std::fprintf(stderr, "%s: %ld records without utc skipped\n", PROGRAM, reading.without_utc);

    const plot::ChartResult chart = plot::render_chart(reading.records, content, out);
    if (!chart.result.ok()) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, chart.result.detail.c_str());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace beacon

int main(int argc, char** argv) {
    const int status = beacon::run(argc, argv);
    beacon::plot::release_caches();
    return status;
}
