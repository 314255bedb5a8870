// Shared by the stream tests: drain a reader, feed bytes through a real pipe.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream/stream.hpp"
#include "support/test_support.hpp"

namespace beacon::test {

// Everything a reader gives, read in blocks of `block` frames; the last status.
struct Drained {
    std::vector<double> samples;
    stream::ReadStatus status = stream::ReadStatus::ok;
    std::string error;
};

inline Drained drain(stream::Reader& reader, std::size_t block = 1000) {
    Drained d;
    std::vector<double> buf(block);
    for (;;) {
        const stream::ReadResult r = reader.read(buf);
        if (r.status == stream::ReadStatus::interrupted) continue;
        if (r.status != stream::ReadStatus::ok) {
            EXPECT_EQ(r.frames, 0u);
            d.status = r.status;
            d.error = r.error;
            return d;
        }
        EXPECT_GT(r.frames, 0u);
        d.samples.insert(d.samples.end(), buf.begin(), buf.begin() + r.frames);
    }
}

// A named pipe in `dir` that a thread fills with `bytes` in pieces of
// `piece` bytes once a reader opens it, then closes: the reader sees a real
// pipe, short reads and all.
class FeedPipe {
  public:
    FeedPipe(const TempDir& dir, Bytes bytes, std::size_t piece = 4093)
        : path_(dir.file("pipe" + std::to_string(counter()++))) {
        std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the test
        if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        writer_ = std::thread([this, bytes = std::move(bytes), piece] {
            const int fd = ::open(path_.c_str(), O_WRONLY);  // waits for the reader
            for (std::size_t at = 0; fd >= 0 && at < bytes.size();) {
                const ssize_t w =
                    ::write(fd, bytes.data() + at, std::min(piece, bytes.size() - at));
                if (w <= 0) break;  // the reader went away
                at += static_cast<std::size_t>(w);
            }
            if (fd >= 0) ::close(fd);
        });
    }
    ~FeedPipe() {
        // Lets the writer's open return if no reader ever came.
        const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        writer_.join();
        if (fd >= 0) ::close(fd);
    }
    const std::string& path() const { return path_; }

  private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::string path_;
    std::thread writer_;
};

}  // namespace beacon::test
