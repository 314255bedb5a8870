// beacondec's command line, run as a user runs it: stdout, stderr and the
// exit status are compared exactly.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/test_support.hpp"

namespace beacon::test {
namespace {

const std::string kBin = BEACONDEC_PATH;

std::string usage(const std::string& name) {
    return "beacondec 1.4.2 - beacondec authors - PI4 (PharusIgnis4) decoder command-line tool\n"
           "\n"
           "Usage: " +
           name +
           " [options] file.wav\n"
           "\n"
           "Options:\n"
           "  -f FREQ    Nominal CW carrier frequency, in Hz (default 800)\n"
           "  -t TOL     Half-width of the search range, in Hz (default 150)\n"
           "  -d DTMAX   Upper bound of the time-offset search, in seconds, for\n"
           "             the first spot (default 2.0) - further spots later in the\n"
           "             file are found automatically, see below\n"
           "  -T HHMMSS  UTC timestamp to display (default: system time)\n"
           "  -D         Diagnostic mode: prints all diagnostics on stderr\n"
           "             (without -D, minimal SKEL-style output: just the\n"
           "             result line(s), or one error line on failure)\n"
           "  -v         Prints \"beacondec 1.4.2 - beacondec authors\" and exits (no file "
           "needed)\n"
           "  -V         Prints the version number and exits\n"
           "  -h         Prints this help and exits\n"
           "\n"
           "Output (stdout): HHMMSS SNR   DT   DF : MESSAGE, one line per spot.\n"
           "DT is always the offset from the very start of the file. After a\n"
           "spot is decoded, the rest of the file is searched automatically for\n"
           "another one (e.g. the beacon's next cycle); each gets its own line.\n"
           "\n"
           "Example:\n"
           "  " +
           name +
           " beacon.wav\n"
           "  " +
           name + " -D -f 800 -t 150 -d 2.0 -T 190500 beacon.wav\n";
}

RunResult run(std::vector<std::string> args, const std::string& name = "beacondec") {
    args.insert(args.begin(), name);
    return run_program(kBin, args);
}

void expect_run(const RunResult& r, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, status);
}

TEST(CommandLine, HelpAndVersionEndTheRunWhereTheyStand) {
    expect_run(run({"-h"}), usage("beacondec"), "", 0);
    expect_run(run({"-help"}), usage("beacondec"), "", 0);  // letters after h are ignored
    expect_run(run({"-V"}), "beacondec 1.4.2\n", "", 0);
    expect_run(run({"-v"}), "beacondec 1.4.2 - beacondec authors\n", "", 0);
    expect_run(run({"-verbose"}), "beacondec 1.4.2 - beacondec authors\n", "", 0);
    // Nothing after -h is looked at; everything before it has been.
    expect_run(run({"-h", "-x", "a.wav", "b.wav"}), usage("beacondec"), "", 0);
    expect_run(run({"-x", "-h"}), "", "beacondec: unknown option '-x'\n\n" + usage("beacondec"), 2);
    expect_run(run({"-f", "900", "-V", "-T"}), "beacondec 1.4.2\n", "", 0);
    // The name as invoked appears in lines 3, 25 and 26.
    expect_run(run({"-h"}, "./some/path/bd"), usage("./some/path/bd"), "", 0);
    const std::string text = usage("x");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 26);
}

TEST(CommandLine, ErrorsGoToStderrWithStatusTwo) {
    const std::string u = usage("beacondec");
    expect_run(run({}), "", "beacondec: missing .wav file\n\n" + u, 2);
    expect_run(run({"-D", "-f", "700"}), "", "beacondec: missing .wav file\n\n" + u, 2);
    expect_run(run({"a.wav", "b.wav"}), "", "beacondec: unexpected extra argument 'b.wav'\n\n" + u,
               2);
    expect_run(run({"a.wav", "-"}), "", "beacondec: unexpected extra argument '-'\n\n" + u, 2);
    expect_run(run({"", "a.wav"}), "", "beacondec: unexpected extra argument 'a.wav'\n\n" + u, 2);
    expect_run(run({"--help"}), "", "beacondec: unknown option '--help'\n\n" + u, 2);
    expect_run(run({"-q5", "a.wav"}), "", "beacondec: unknown option '-q5'\n\n" + u, 2);
    expect_run(run({"-f"}), "", "beacondec: option -f requires an argument\n", 2);
    expect_run(run({"a.wav", "-T"}), "", "beacondec: option -T requires an argument\n", 2);
    expect_run(run({"-T", "1905", "a.wav"}), "",
               "beacondec: -T expects 6 digits (HHMMSS), got '1905'\n", 2);
    expect_run(run({"-T1234567"}), "", "beacondec: -T expects 6 digits (HHMMSS), got '1234567'\n",
               2);
    // -f takes x.wav as its value, so no file is left.
    expect_run(run({"-f", "x.wav"}), "", "beacondec: missing .wav file\n\n" + u, 2);
    // The first error wins; the rest of the line is never looked at.
    expect_run(run({"-T", "12", "-x"}), "", "beacondec: -T expects 6 digits (HHMMSS), got '12'\n",
               2);
}

TEST(CommandLine, AcceptedLinesGoOnToReadTheFile) {
    const std::string fail = "beacondec: failed to read 'missing.wav'\n";
    const std::string open = "wav_read: cannot open 'missing.wav'\n";
    // Values in the same or the next argument, negative values, text values.
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"missing.wav"},
                                               {"-f800", "missing.wav"},
                                               {"-f", "-5", "missing.wav"},
                                               {"-f", "abc", "-t", "0", "-d", "-1", "missing.wav"},
                                               {"missing.wav", "-Dq", "-T", "ABCDEF"},
                                               {"-T999999", "missing.wav"}}) {
        expect_run(run(args), "", open + fail, 1);
    }
    // A lone hyphen and an empty argument are file names, not stdin.
    expect_run(run({"-"}), "", "wav_read: cannot open '-'\nbeacondec: failed to read '-'\n", 1);
    expect_run(run({""}), "", "wav_read: cannot open ''\nbeacondec: failed to read ''\n", 1);
}

}  // namespace
}  // namespace beacon::test
