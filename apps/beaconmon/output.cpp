#include "beaconmon/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/format.hpp"

namespace beacon::mon {

std::optional<std::string> Output::open(const std::string& path, std::string header) {
    path_ = path;
    header_ = std::move(header);
    if (!path_.empty()) {
        int fd = -1;
        if (auto why = open_file(fd)) return why;
        fd_ = fd;
    }
    if (start(fd_) == WriteStatus::error) return error_;
    return std::nullopt;
}

Output::~Output() {
    if (fd_ != 1) ::close(fd_);
}

std::optional<std::string> Output::open_file(int& fd) {
    fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return format("cannot open '%s': %s", path_.c_str(), std::strerror(errno));
    return std::nullopt;
}

WriteStatus Output::start(int fd) {
    if (header_.empty()) return WriteStatus::ok;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) return WriteStatus::ok;
    return put(fd, header_);
}

WriteStatus Output::put(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) return WriteStatus::closed;
            error_ = format("cannot write to %s: %s",
                            path_.empty() ? "standard output" : ("'" + path_ + "'").c_str(),
                            std::strerror(errno));
            return WriteStatus::error;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return WriteStatus::ok;
}

WriteStatus Output::write(std::string_view text) {
    return put(fd_, text);
}

std::optional<std::string> Output::reopen() {
    if (path_.empty()) return std::nullopt;
    int fd = -1;
    if (auto why = open_file(fd)) return why;
    ::close(fd_);
    fd_ = fd;
    if (start(fd_) == WriteStatus::error) return error_;
    return std::nullopt;
}

}  // namespace beacon::mon
