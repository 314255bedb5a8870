#include "support/support.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "coding/coding.hpp"

extern char** environ;

namespace beacon::test {

void put(Bytes& b, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes chunk(std::string_view id, const Bytes& payload, std::optional<std::uint32_t> declared) {
    Bytes b(id.begin(), id.end());
    put(b, declared.value_or(static_cast<std::uint32_t>(payload.size())), 4);
    b.insert(b.end(), payload.begin(), payload.end());
    if (payload.size() % 2 == 1) b.push_back(0);
    return b;
}

Bytes fmt_chunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                std::uint32_t size, std::uint16_t sub_format) {
    Bytes p;
    put(p, tag, 2);
    put(p, channels, 2);
    put(p, rate, 4);
    put(p, rate * channels * (bits / 8u), 4);
    put(p, channels * (bits / 8u), 2);
    put(p, bits, 2);
    p.resize(size, 0);
    if (size >= 26) p[24] = static_cast<std::uint8_t>(sub_format);
    return chunk("fmt ", p);
}

Bytes riff(const std::vector<Bytes>& chunks) {
    Bytes b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    for (const Bytes& c : chunks)
        b.insert(b.end(), c.begin(), c.end());
    return b;
}

Bytes pcm_wav(std::span<const double> interleaved, int rate, int channels, int bits) {
    const auto h = wav_header(rate, channels, bits, interleaved.size() * (bits / 8));
    Bytes b(h.begin(), h.end());
    wav_pcm_encode(interleaved, bits, b);
    return b;
}

TempDir::TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "beacontest.XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::vector<double> render(const Recording& r) {
    const double start = r.frames.empty() ? 0.0 : r.frames[0].start_s;
    sim::Transmitter tx(r.carrier_hz, 0.0, start);
    for (const Frame& f : r.frames) {
        tx.add_frame(f.start_s, symbols_of(f.message.c_str()));
    }
    const double sigma =
        std::isnan(r.snr_db) ? 0.0 : sim::noise_sigma_for_snr(r.snr_db, r.amplitude, r.rate);
    std::vector<double> x(static_cast<std::size_t>(sim::sample_count(r.seconds, r.rate)));
    sim::Renderer(tx, r.rate, {r.amplitude, sigma}, r.seed).next(x);
    return x;
}

std::array<std::uint8_t, PI4_NSYM> symbols_of(const char* message) {
    std::array<std::uint8_t, PI4_NSYM> s;
    s.fill(0xff);
    pi4_make_symbols(message, s);
    return s;
}

std::vector<double> mix(const sim::SimSettings& s, bool signal) {
    std::vector<double> x(
        static_cast<std::size_t>(sim::sample_count(sim::recording_duration(s), s.rate)));
    sim::Levels levels = sim::levels(s);
    if (!signal) levels.amplitude = 0.0;
    sim::Renderer(sim::make_transmitter(s), s.rate, levels, s.seed).next(x);
    return x;
}

Bytes recording_wav(const Recording& r, int channels, int bits) {
    std::vector<double> frames;
    for (double v : render(r))
        frames.insert(frames.end(), static_cast<std::size_t>(channels), v);
    return pcm_wav(frames, r.rate, channels, bits);
}

Decoded decode(std::vector<double> samples, int rate, const DecodeSettings& settings) {
    wav_data wav{rate, 1, 16, std::move(samples)};
    Decoded d;
    d.result = decode_recording(wav, settings, d);
    d.failure = failure_text(d.result, static_cast<std::int64_t>(wav.samples.size()), settings);
    return d;
}

RunResult run(const std::vector<std::string>& argv, const std::string& input, bool wrapped) {
    std::vector<std::string> words;
    if (const char* w = std::getenv("BEACON_TEST_WRAPPER"); wrapped && w != nullptr) {
        std::istringstream in(w);
        for (std::string word; in >> word;)
            words.push_back(word);
    }
    words.insert(words.end(), argv.begin(), argv.end());
    const TempDir dir;
    write_file(dir.file("in"), Bytes(input.begin(), input.end()));
    const int status = Spawned(words, dir.file("out"), dir.file("err"), dir.file("in")).end(0);
    return {read_file(dir.file("out")), read_file(dir.file("err")), status};
}

Spawned::Spawned(std::vector<std::string> argv, const std::string& out, const std::string& err,
                 const std::string& in) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in.empty())
        posix_spawn_file_actions_adddup2(&fa, fds[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (err.empty() ? out : err).c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> args;  // the words as exec() takes them
    for (std::string& w : argv)
        args.push_back(w.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[0]);
    in_ = fds[1];
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    pid_ = pid;
}

Spawned::~Spawned() {
    if (pid_ > 0) end(SIGKILL);
    if (in_ >= 0) ::close(in_);
}

bool Spawned::write(const std::string& bytes) {
    return ::write(in_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

int Spawned::end(int sig) {
    if (sig != 0) ::kill(pid_, sig);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (in_ >= 0) ::close(in_), in_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Spawned::exited() {
    if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) != pid_) return pid_ <= 0;
    pid_ = -1;
    return true;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        v.push_back(line);
    return v;
}

std::vector<nlohmann::json> jsonl(const std::string& text) {
    std::vector<nlohmann::json> v;
    for (const std::string& line : lines(text))
        v.push_back(nlohmann::json::parse(line));
    return v;
}

}  // namespace beacon::test
