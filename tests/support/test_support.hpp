// Helpers for the tests: WAV files assembled byte by byte (so that odd and
// broken headers can be written on purpose), temporary directories, and
// running a program the way a user does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace beacon::test {

using Bytes = std::vector<std::uint8_t>;

void put_u16(Bytes& b, std::uint32_t v);
void put_u32(Bytes& b, std::uint32_t v);
void put_id(Bytes& b, std::string_view id4);

// A RIFF/WAVE file assembled chunk by chunk.
class WavBuilder {
  public:
    // riff_size: the RIFF header's size field (the reader ignores it).
    explicit WavBuilder(std::uint32_t riff_size = 0);
    // Any chunk with an explicit declared size; a pad byte follows odd sizes
    // when `pad` is set.
    WavBuilder& chunk(std::string_view id, const Bytes& payload, bool pad = true);
    WavBuilder& chunk_declared(std::string_view id, std::uint32_t declared_size,
                               const Bytes& payload);
    // A "fmt " chunk of `size` bytes (16, 18, 40, ...): the basic 16 bytes,
    // then the extension fields, zero-filled, with the sub-format tag at
    // offset 24 when the chunk is long enough.
    WavBuilder& fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                    std::uint16_t bits, std::uint32_t size = 16, std::uint16_t sub_format = 1);
    WavBuilder& data(const Bytes& payload);
    WavBuilder& raw(const Bytes& bytes);
    const Bytes& bytes() const { return bytes_; }

  private:
    Bytes bytes_;
};

// Integer PCM bytes of samples in [-1, 1): interleaved frames, little-endian.
Bytes pcm_bytes(const std::vector<double>& interleaved, int bits);

// A whole canonical WAV file of the given samples.
Bytes pcm_wav(const std::vector<double>& interleaved, int rate, int channels, int bits);

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(std::string_view name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

void write_file(const std::string& path, const Bytes& bytes);
std::string read_file(const std::string& path);

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal number
};

// Runs `program` with `args` (args[0] is what the program sees as its name),
// with standard input from /dev/null, and captures both output streams. A
// non-zero `address_space_limit` (bytes) is set as the child's RLIMIT_AS, as
// `ulimit -v` would.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      std::uint64_t address_space_limit = 0);

// The same with `input` fed to standard input through a pipe.
RunResult run_program_with_input(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& input);

// The same with standard error on a pseudo-terminal; `err` holds what the
// terminal received (its line discipline turns "\n" into "\r\n").
RunResult run_program_on_terminal(const std::string& program, const std::vector<std::string>& args);

}  // namespace beacon::test
