// beaconscan's command line, parsed in-process.
#include "beaconscan/options.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "beacondec/options.hpp"

namespace beacon {
namespace {

struct Parsed {
    int status;
    ScanCommand cmd;
    std::string out, err;
};

Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "beaconscan");
    Parsed p{};
    char *obuf = nullptr, *ebuf = nullptr;
    std::size_t olen = 0, elen = 0;
    std::FILE* out = open_memstream(&obuf, &olen);
    std::FILE* err = open_memstream(&ebuf, &elen);
    p.status = parse_options(static_cast<int>(args.size()), args.data(), p.cmd, out, err);
    std::fclose(out);
    std::fclose(err);
    p.out.assign(obuf, olen);
    p.err.assign(ebuf, elen);
    std::free(obuf);
    std::free(ebuf);
    return p;
}

TEST(ScanCommandLine, DefaultsThenOptionsAndPathsInAnyOrder) {
    Parsed p = parse({"rec"});
    ASSERT_EQ(p.status, PARSE_CONTINUE) << p.err;
    EXPECT_EQ(p.cmd.settings.freq, 800.0);  // beacondec's search
    EXPECT_EQ(p.cmd.settings.tol, 150.0);
    EXPECT_EQ(p.cmd.settings.dtmax, 2.0);
    EXPECT_EQ(p.cmd.settings.start, std::nullopt);
    EXPECT_EQ(p.cmd.format, OutputFormat::text);
    EXPECT_EQ(p.cmd.jobs, 0);  // one per processor
    EXPECT_FALSE(p.cmd.quiet);

    p = parse({"-f", "1000", "a.wav", "--tol=50", "-d", "-1.5", "-", "--format", "csv", "-j3",
               "--start", "2026-12-06T12:00:00Z", "-q", "dir", "-f", "900", "--", "-odd.wav"});
    ASSERT_EQ(p.status, PARSE_CONTINUE) << p.err;
    EXPECT_EQ(p.cmd.settings.freq, 900.0);  // the last value counts
    EXPECT_EQ(p.cmd.settings.tol, 50.0);
    EXPECT_EQ(p.cmd.settings.dtmax, -1.5);
    EXPECT_EQ(p.cmd.settings.start, 1796558400);
    EXPECT_EQ(p.cmd.format, OutputFormat::csv);
    EXPECT_EQ(p.cmd.jobs, 3);
    EXPECT_TRUE(p.cmd.quiet);
    EXPECT_EQ(p.cmd.paths, (std::vector<std::string>{"a.wav", "-", "dir", "-odd.wav"}));
}

TEST(ScanCommandLine, BadValuesAreRefusedWithOneLine) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"-q"}, "beaconscan: no file or directory given (see --help)\n"},
        {{"-", "a", "-"}, "beaconscan: - (standard input) can be given only once\n"},
        {{"a", "-x"}, "beaconscan: unknown option '-x' (see --help)\n"},
        {{"-f", "800Hz", "a"}, "'800Hz' is not a number"},
        {{"-d", "inf", "a"}, "beaconscan: --dtmax: must be a finite number, got inf\n"},
        {{"-j", "0", "a"}, "beaconscan: --jobs: must be from 1 to 1024, got 0\n"},
        {{"-j", "1025", "a"}, "beaconscan: --jobs: must be from 1 to 1024, got 1025\n"},
        {{"-j", "2.5", "a"}, "'2.5' is not a whole number"},
        {{"--format", "json", "a"}, "'json' is not one of text, jsonl, csv"},
        {{"--start", "yesterday", "a"}, "'yesterday' is not a date and time"},
        {{"-f"}, "beaconscan: "},
    };
    for (const auto& [args, message] : cases) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.status, 2) << message;
        EXPECT_NE(p.err.find(message), std::string::npos) << p.err;
        EXPECT_EQ(p.err.rfind("beaconscan: ", 0), 0u) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
        EXPECT_EQ(p.out, "");
    }
}

}  // namespace
}  // namespace beacon
