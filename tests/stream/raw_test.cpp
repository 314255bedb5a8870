// The raw reader: known values in every encoding, channels
// averaged, through a file and a pipe, the partial last frame dropped.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "stream/stream.hpp"
#include "stream_test_support.hpp"

namespace beacon::test {
namespace {

using stream::RawEncoding;
using stream::ReadStatus;

// Interleaved samples as little-endian bytes of an encoding.
Bytes encode(const std::vector<double>& v, RawEncoding enc) {
    if (enc != RawEncoding::f32le)
        return pcm_bytes(v, enc == RawEncoding::s16le ? 16 : enc == RawEncoding::s24le ? 24 : 32);
    Bytes b;
    for (double x : v) {
        const float f = static_cast<float>(x);
        std::uint32_t u;
        std::memcpy(&u, &f, 4);
        put_u32(b, u);
    }
    return b;
}

TEST(Raw, ParseEncodingNames) {
    EXPECT_EQ(stream::parse_raw_encoding("s16le"), RawEncoding::s16le);
    EXPECT_EQ(stream::parse_raw_encoding("s24le"), RawEncoding::s24le);
    EXPECT_EQ(stream::parse_raw_encoding("s32le"), RawEncoding::s32le);
    EXPECT_EQ(stream::parse_raw_encoding("f32le"), RawEncoding::f32le);
    EXPECT_FALSE(stream::parse_raw_encoding("s16be"));
    EXPECT_FALSE(stream::parse_raw_encoding(""));
}

// Known values for each encoding, two channels averaged, through a file and
// a pipe fed in odd pieces; the trailing partial frame is dropped.
TEST(Raw, EncodingsChannelsAndPartialFrame) {
    // Left and right of four frames, all exactly representable in 16 bits.
    const std::vector<double> lr = {0.5, -0.25, -1.0, 0.0, 0.125, 0.375, 32767.0 / 32768, -1.0};
    const std::vector<double> mono = {0.125, -0.5, 0.25, (32767.0 / 32768 - 1.0) / 2};
    for (RawEncoding enc :
         {RawEncoding::s16le, RawEncoding::s24le, RawEncoding::s32le, RawEncoding::f32le}) {
        Bytes bytes = encode(lr, enc);
        bytes.push_back(0x7f);  // a partial frame: one byte of the next
        bytes.push_back(0x01);
        TempDir dir;
        write_file(dir.file("a.raw"), bytes);
        for (int via_pipe = 0; via_pipe < 2; ++via_pipe) {
            SCOPED_TRACE(testing::Message()
                         << "encoding " << static_cast<int>(enc) << " pipe " << via_pipe);
            FeedPipe pipe(dir, bytes, 3);
            auto opened =
                stream::open_raw(via_pipe ? pipe.path() : dir.file("a.raw"), enc, 48000, 2);
            ASSERT_FALSE(opened.failure);
            EXPECT_EQ(opened.reader->rate(), 48000);
            EXPECT_EQ(opened.reader->channels(), 2);
            const Drained d = drain(*opened.reader, 3);
            EXPECT_EQ(d.status, ReadStatus::end);
            EXPECT_EQ(d.samples, mono);
        }
    }
}

TEST(Raw, Failures) {
    TempDir dir;
    auto missing = stream::open_raw(dir.file("none.raw"), RawEncoding::s16le, 12000, 1);
    ASSERT_TRUE(missing.failure);
    EXPECT_FALSE(missing.reader);
    EXPECT_EQ(missing.failure->text,
              "cannot open '" + dir.file("none.raw") + "': No such file or directory");
    auto directory = stream::open_raw(dir.path().string(), RawEncoding::s16le, 12000, 1);
    ASSERT_TRUE(directory.failure);
    EXPECT_EQ(directory.failure->text, "cannot read '" + dir.path().string() + "': Is a directory");
    auto no_channels = stream::open_raw(dir.path().string(), RawEncoding::s16le, 12000, 0);
    ASSERT_TRUE(no_channels.failure);
    // Empty input: the end at once.
    write_file(dir.file("empty.raw"), {});
    auto empty = stream::open_raw(dir.file("empty.raw"), RawEncoding::s32le, 12000, 3);
    ASSERT_TRUE(empty.reader);
    const Drained d = drain(*empty.reader);
    EXPECT_EQ(d.status, ReadStatus::end);
    EXPECT_TRUE(d.samples.empty());
}

// A signal while the reader waits on an empty pipe: `interrupted`, no frame;
// the next call reads what comes.
TEST(Raw, SignalDuringReadIsInterrupted) {
    struct sigaction quiet {
    }, old{};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);  // no SA_RESTART: read() returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    auto opened =
        stream::open_raw("/dev/fd/" + std::to_string(fds[0]), RawEncoding::s16le, 8000, 1);
    ::close(fds[0]);
    ASSERT_TRUE(opened.reader);

    // Signals until the read has returned: one sent before the read blocks is lost.
    std::atomic<bool> returned{false};
    const pthread_t reader_thread = pthread_self();
    std::thread sender([&] {
        while (!returned) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!returned) pthread_kill(reader_thread, SIGUSR1);
        }
    });
    std::vector<double> buf(16);
    const stream::ReadResult r = opened.reader->read(buf);
    returned = true;
    sender.join();
    EXPECT_EQ(r.status, ReadStatus::interrupted);
    EXPECT_EQ(r.frames, 0u);

    const std::uint8_t bytes[] = {0x00, 0x40, 0x00, 0xc0, 0x01};  // 0.5, -0.5, half a frame
    ASSERT_EQ(::write(fds[1], bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
    ::close(fds[1]);
    const Drained d = drain(*opened.reader);
    EXPECT_EQ(d.samples, (std::vector<double>{0.5, -0.5}));
    EXPECT_EQ(d.status, ReadStatus::end);
    sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
}  // namespace beacon::test
