#include "support/test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "audio/audio.hpp"

extern char** environ;

namespace beacon::test {

void put_u16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xff));
    b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xff));
}

void put_u32(Bytes& b, std::uint32_t v) {
    put_u16(b, v & 0xffff);
    put_u16(b, v >> 16);
}

void put_id(Bytes& b, std::string_view id4) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(id4[i]));
}

WavBuilder::WavBuilder(std::uint32_t riff_size) {
    put_id(bytes_, "RIFF");
    put_u32(bytes_, riff_size);
    put_id(bytes_, "WAVE");
}

WavBuilder& WavBuilder::chunk(std::string_view id, const Bytes& payload, bool pad) {
    put_id(bytes_, id);
    put_u32(bytes_, static_cast<std::uint32_t>(payload.size()));
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    if (pad && payload.size() % 2 == 1) bytes_.push_back(0);
    return *this;
}

WavBuilder& WavBuilder::chunk_declared(std::string_view id, std::uint32_t declared_size,
                                       const Bytes& payload) {
    put_id(bytes_, id);
    put_u32(bytes_, declared_size);
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    return *this;
}

WavBuilder& WavBuilder::fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                            std::uint16_t bits, std::uint32_t size, std::uint16_t sub_format) {
    Bytes p;
    put_u16(p, tag);
    put_u16(p, channels);
    put_u32(p, rate);
    put_u32(p, rate * channels * (bits / 8u));
    put_u16(p, channels * (bits / 8u));
    put_u16(p, bits);
    if (size >= 18) put_u16(p, static_cast<std::uint32_t>(std::min<std::uint32_t>(size - 18, 22)));
    if (size >= 20) put_u16(p, bits);  // valid bits
    if (size >= 24) put_u32(p, 0);     // channel mask
    if (size >= 26) put_u16(p, sub_format);
    p.resize(size, 0);
    return chunk("fmt ", p);
}

WavBuilder& WavBuilder::data(const Bytes& payload) {
    return chunk("data", payload);
}

WavBuilder& WavBuilder::raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes pcm_bytes(const std::vector<double>& interleaved, int bits) {
    Bytes b;
    wav_pcm_encode(interleaved, bits, b);
    return b;
}

Bytes pcm_wav(const std::vector<double>& interleaved, int rate, int channels, int bits) {
    const auto data_bytes =
        static_cast<std::uint32_t>(interleaved.size() * static_cast<std::size_t>(bits / 8));
    const auto header =
        wav_header(static_cast<std::uint32_t>(rate), static_cast<std::uint16_t>(channels),
                   static_cast<std::uint16_t>(bits), data_bytes);
    Bytes b(header.begin(), header.end());
    wav_pcm_encode(interleaved, bits, b);
    return b;
}

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "beacontest.XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
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
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

namespace {

// A file descriptor, closed when it goes.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// Starts `program` with standard input from `stdin_fd` (or /dev/null) and
// standard error to `stderr_fd` (or a file that is read back), runs
// `while_running` and waits for the program to end.
RunResult spawn_and_wait(const std::string& program, const std::vector<std::string>& args,
                         int stdin_fd, int stderr_fd, const std::function<void()>& while_running) {
    TempDir dir;
    const std::string out_path = dir.file("out");
    const std::string err_path = dir.file("err");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdin_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    if (stderr_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
    while_running();
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);

    RunResult r;
    r.out = read_file(out_path);
    if (stderr_fd < 0) r.err = read_file(err_path);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return r;
}

// fork and exec, with the address-space limit set in the child; between the
// two only async-signal-safe calls are made.
pid_t spawn_limited(const std::string& program, char* const* argv, const std::string& out_path,
                    const std::string& err_path, std::uint64_t limit) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const rlimit rl{limit, limit};
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        setrlimit(RLIMIT_AS, &rl) != 0)
        _exit(126);
    execve(program.c_str(), argv, environ);
    _exit(127);
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      std::uint64_t address_space_limit) {
    if (address_space_limit == 0) return spawn_and_wait(program, args, -1, -1, [] {});

    TempDir dir;
    const std::string out_path = dir.file("out");
    const std::string err_path = dir.file("err");
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = spawn_limited(program, argv.data(), out_path, err_path, address_space_limit);
    if (pid < 0) throw std::runtime_error("cannot start " + program);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult r;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return r;
}

RunResult run_program_with_input(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& input) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    std::thread writer;
    RunResult r = spawn_and_wait(program, args, read_end.get(), -1, [&] {
        read_end.reset();  // the program holds its own copy
        writer = std::thread([&] {
            // A program that stops reading early must not kill the test:
            // the write then fails with EPIPE instead.
            sigset_t pipe_signal;
            sigemptyset(&pipe_signal);
            sigaddset(&pipe_signal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
            for (std::size_t done = 0; done < input.size();) {
                const ssize_t n = write(write_end.get(), input.data() + done, input.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            write_end.reset();
        });
    });
    writer.join();
    return r;
}

RunResult run_program_on_terminal(const std::string& program,
                                  const std::vector<std::string>& args) {
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 ||
        ptsname_r(master.get(), name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal");
    Fd terminal(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (terminal.get() < 0) throw std::runtime_error("cannot open the pseudo-terminal");
    std::string received;
    std::thread reader;
    RunResult r = spawn_and_wait(program, args, -1, terminal.get(), [&] {
        terminal.reset();  // reads end (EIO) once the program has closed its copy
        reader = std::thread([&] {
            char buf[4096];
            for (ssize_t n; (n = read(master.get(), buf, sizeof buf)) > 0;)
                received.append(buf, static_cast<std::size_t>(n));
        });
    });
    reader.join();
    r.err = received;
    return r;
}

}  // namespace beacon::test
