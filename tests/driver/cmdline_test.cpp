// The scanner called directly, for what a program run cannot show.
#include "beacondec/options.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace beacon {
namespace {

struct Captured {
    int status;
    std::string out, err;
};

Captured scan(int argc, char** argv, RunSettings& s) {
    char *obuf = nullptr, *ebuf = nullptr;
    std::size_t olen = 0, elen = 0;
    std::FILE* out = open_memstream(&obuf, &olen);
    std::FILE* err = open_memstream(&ebuf, &elen);
    Captured c{parse_options(argc, argv, s, out, err), {}, {}};
    std::fclose(out);
    std::fclose(err);
    c.out.assign(obuf, olen);
    c.err.assign(ebuf, elen);
    std::free(obuf);
    std::free(ebuf);
    return c;
}

TEST(Scan, EmptyArgumentVectorUsesTheFixedName) {
    // exec() can start a program with no arguments at all.
    char* argv[] = {nullptr};
    RunSettings s;
    const Captured c = scan(0, argv, s);
    EXPECT_EQ(c.status, 2);
    EXPECT_EQ(c.err.rfind("beacondec: missing .wav file\n\nbeacondec 1.4.2", 0), 0u);
    EXPECT_NE(c.err.find("Usage: beacondec [options] file.wav\n"), std::string::npos);
}

TEST(Scan, SettingsTakeTheLastValueAndStrtodPrefixes) {
    std::string a[] = {"bd", "-f", "700", "-f900.5Hz", "-t", "1e1",
                       "-d", "x",  "-T",  "AB:D/F",    "-D", "file.wav"};
    char* argv[13];
    for (int i = 0; i < 12; ++i)
        argv[i] = a[i].data();
    argv[12] = nullptr;
    RunSettings s;
    EXPECT_EQ(scan(12, argv, s).status, PARSE_CONTINUE);
    EXPECT_EQ(s.freq, 900.5);
    EXPECT_EQ(s.tol, 10.0);
    EXPECT_EQ(s.dtmax, 0.0);
    EXPECT_STREQ(s.timestamp, "AB:D/F");
    EXPECT_TRUE(s.timestamp_given);
    EXPECT_TRUE(s.diag);
    EXPECT_EQ(s.wav_path, argv[11]);  // not copied
    fill_timestamp(s);
    EXPECT_STREQ(s.timestamp, "AB:D/F");  // -T wins over the clock
}

TEST(Scan, ClockStampIsTheUtcTimeOfDay) {
    RunSettings s;
    const std::time_t before = std::time(nullptr);
    fill_timestamp(s);
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(std::strlen(s.timestamp), 6u);
    if (before / 86400 != after / 86400) GTEST_SKIP() << "ran across midnight";
    const int secs = std::atoi(std::string(s.timestamp, 2).c_str()) * 3600 +
                     std::atoi(std::string(s.timestamp + 2, 2).c_str()) * 60 +
                     std::atoi(s.timestamp + 4);
    EXPECT_GE(secs, static_cast<int>(before % 86400) - 1);
    EXPECT_LE(secs, static_cast<int>(after % 86400) + 1);
}

}  // namespace
}  // namespace beacon
