// The stream readers on arbitrary bytes: the RIFF header parser (as for a
// pipe and as for a file) with the frame reader after it, and the raw
// reader. The last byte chooses the reader, the raw layout and the block
// size; the rest is the stream. Every input must end in a clean failure or
// in whole frames that match the layout, integer samples within [-1, 1).
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "fuzz_support.hpp"
#include "stream/pcm.hpp"

using namespace beacon;
using namespace beacon::stream;

namespace {

int memory_fd(const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create("fuzz.stream", 0);
    if (fd < 0) return -1;
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Reads everything; checks the frame count against the bytes there were.
void drain(Reader& reader, std::size_t block, std::uint64_t bytes_available,
           std::size_t frame_bytes, bool integer) {
    std::vector<double> buf(block);
    std::uint64_t frames = 0;
    for (;;) {
        const ReadResult r = reader.read(buf);
        if (r.status != ReadStatus::ok) {
            FUZZ_CHECK(r.status == ReadStatus::end && r.frames == 0);
            break;
        }
        FUZZ_CHECK(r.frames >= 1 && r.frames <= block);
        for (std::size_t i = 0; i < r.frames; ++i)
            FUZZ_CHECK(!integer || (buf[i] >= -1.0 && buf[i] < 1.0));
        frames += r.frames;
    }
    FUZZ_CHECK(frames == bytes_available / frame_bytes);
    FUZZ_CHECK(reader.read(buf).status == ReadStatus::end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[size - 1];
    --size;
    const std::size_t block = 1 + (mode >> 5) * 37;
    const int fd = memory_fd(data, size);
    if (fd < 0) return 0;

    if (mode & 1) {
        const bool seekable = mode & 2;
        detail::WavHeader h;
        if (auto failure = detail::read_wav_header(fd, "fuzz", seekable, h)) {
            FUZZ_CHECK(failure->text.rfind("'fuzz': ", 0) == 0 && !failure->interrupted);
            close(fd);
            return 0;
        }
        FUZZ_CHECK(h.channels >= 1 && h.channels <= 65535 && h.rate >= 1);
        FUZZ_CHECK(h.data_offset <= size);
        const std::uint64_t limit =
            detail::open_ended_size(h.data_size) ? detail::FdFrameReader::NO_LIMIT : h.data_size;
        const std::size_t frame_bytes =
            static_cast<std::size_t>(h.channels) * detail::bytes_per_sample(h.format);
        const bool integer =
            h.format != detail::SampleFormat::f32 && h.format != detail::SampleFormat::f64;
        detail::FdFrameReader reader(fd, true, h.format, h.rate, h.channels, limit);
        drain(reader, block, std::min<std::uint64_t>(size - h.data_offset, limit), frame_bytes,
              integer);
    } else {
        const auto enc = static_cast<RawEncoding>((mode >> 1) & 3);
        const int channels = 1 + ((mode >> 3) & 3);
        const detail::SampleFormat f = detail::sample_format(enc);
        detail::FdFrameReader reader(fd, true, f, 12000, channels);
        drain(reader, block, size, static_cast<std::size_t>(channels) * detail::bytes_per_sample(f),
              enc != RawEncoding::f32le);
    }
    return 0;
}
