// ALSA capture without hardware: a PCM of the `file` plugin whose `infile`
// is a known stereo recording, over the `null` device, defined in a private
// configuration (ALSA_CONFIG_PATH) in a temporary directory.
#include <cmath>
#include <cstdlib>

#include "stream/stream.hpp"
#include "stream_test_support.hpp"

namespace beacon::test {
namespace {

TEST(Alsa, CapturesARecordingThroughTheFilePlugin) {
    TempDir dir;
    Bytes pcm;
    std::vector<double> want;
    for (int i = 0; i < 30000; ++i) {
        const int left = (i * 37) % 65536 - 32768;
        const int right = 32767 - (i * 101) % 65536;
        put_u16(pcm, static_cast<std::uint16_t>(left));
        put_u16(pcm, static_cast<std::uint16_t>(right));
        want.push_back((std::ldexp(left, -15) + std::ldexp(right, -15)) / 2);
    }
    write_file(dir.file("rec.raw"), pcm);
    write_file(dir.file("asound.conf"), [&] {
        const std::string conf =
            "pcm.recording {\n type file\n slave.pcm { type null }\n"
            " file \"/dev/null\"\n infile \"" +
            dir.file("rec.raw") + "\"\n format raw\n}\n";
        return Bytes(conf.begin(), conf.end());
    }());
    ASSERT_EQ(setenv("ALSA_CONFIG_PATH", dir.file("asound.conf").c_str(), 1), 0);

    auto opened = stream::open_alsa("recording", 12000, 2);
    ASSERT_TRUE(opened.reader) << opened.failure->text;
    EXPECT_EQ(opened.reader->rate(), 12000);
    EXPECT_EQ(opened.reader->channels(), 2);
    std::vector<double> got;
    std::vector<double> buf(1000);
    while (got.size() < want.size()) {
        const stream::ReadResult r = opened.reader->read(buf);
        if (r.status == stream::ReadStatus::interrupted) continue;
        ASSERT_EQ(r.status, stream::ReadStatus::ok) << r.error;
        got.insert(got.end(), buf.begin(), buf.begin() + r.frames);
    }
    got.resize(want.size());  // after the recording the plugin repeats stale data
    EXPECT_EQ(got, want);
    EXPECT_EQ(opened.reader->overruns(), 0u);

    auto missing = stream::open_alsa("nosuchdevice", 12000, 1);
    EXPECT_FALSE(missing.reader);
    ASSERT_TRUE(missing.failure);
    EXPECT_EQ(missing.failure->text,
              "cannot open audio device 'nosuchdevice': open failed: No such file or directory");
    unsetenv("ALSA_CONFIG_PATH");
}

}  // namespace
}  // namespace beacon::test
