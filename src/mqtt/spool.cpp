#include "mqtt/spool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace beacon::mqtt {
namespace {

// Segment numbers start in the middle of their range, so that records put
// back in front of the others always find a smaller number.
constexpr std::uint64_t FIRST_SEGMENT = 1'000'000'000'000;
constexpr const char* SEGMENT_SUFFIX = ".spool";
constexpr std::size_t SEGMENT_DIGITS = 20;

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_all(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string encode(const std::vector<Message>& messages) {
    std::string out;
    for (const Message& m : messages) {
        out += std::to_string(m.topic.size()) + " " + std::to_string(m.payload.size()) + "\n";
        out += m.topic;
        out += m.payload;
        out += '\n';
    }
    return out;
}

bool read_file(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

// The records of a segment's bytes; `damaged` is set when bytes are left
// that do not make a whole record (a write cut short).
std::vector<Message> decode(const std::string& bytes, bool& damaged) {
    std::vector<Message> messages;
    damaged = false;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t eol = bytes.find('\n', pos);
        std::size_t sizes[2] = {0, 0};
        const char* p = bytes.data() + pos;
        const char* end =
            eol == std::string::npos ? bytes.data() + bytes.size() : bytes.data() + eol;
        bool ok = eol != std::string::npos;
        for (int i = 0; ok && i < 2; ++i) {
            const auto r = std::from_chars(p, end, sizes[i]);
            ok = r.ec == std::errc() && (i == 0 ? r.ptr < end && *r.ptr == ' ' : r.ptr == end);
            p = r.ptr + 1;
        }
        const std::size_t left = ok ? bytes.size() - eol - 1 : 0;
        if (!ok || sizes[0] >= left || sizes[1] >= left - sizes[0] ||
            bytes[eol + 1 + sizes[0] + sizes[1]] != '\n') {
            damaged = true;
            break;
        }
        messages.push_back(
            {bytes.substr(eol + 1, sizes[0]), bytes.substr(eol + 1 + sizes[0], sizes[1])});
        pos = eol + 1 + sizes[0] + sizes[1] + 1;
    }
    return messages;
}

// The number of a segment file's name, or 0 for any other name.
std::uint64_t segment_number(const char* name) {
    const std::size_t len = std::strlen(name);
    if (len != SEGMENT_DIGITS + std::strlen(SEGMENT_SUFFIX) ||
        std::strcmp(name + SEGMENT_DIGITS, SEGMENT_SUFFIX) != 0)
        return 0;
    std::uint64_t n = 0;
    const auto r = std::from_chars(name, name + SEGMENT_DIGITS, n);
    return r.ec == std::errc() && r.ptr == name + SEGMENT_DIGITS ? n : 0;
}

bool make_dir(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

Spool::Spool(std::string path, int lock_fd) : path_(std::move(path)), lock_fd_(lock_fd) {}

Spool::~Spool() {
    ::close(lock_fd_);  // and with it the lock
}

std::string Spool::segment_path(std::uint64_t number) const {
    char name[64];
    std::snprintf(name, sizeof name, "%020llu%s", static_cast<unsigned long long>(number),
                  SEGMENT_SUFFIX);
    return path_ + "/" + name;
}

Spool::Opened Spool::open(const std::string& dir, const std::string& name) {
    Opened r;
    const std::string path = dir + "/" + name;
    if (!make_dir(dir)) {
        r.error = errno_text(dir);
        return r;
    }
    if (!make_dir(path)) {
        r.error = errno_text(path);
        return r;
    }
    const std::string lock_path = path + "/lock";
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        r.error = errno_text(lock_path);
        return r;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        r.error =
            errno == EWOULDBLOCK ? path + ": in use by another process" : errno_text(lock_path);
        ::close(fd);
        return r;
    }
    std::unique_ptr<Spool> spool(new Spool(path, fd));
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) {
        r.error = errno_text(path);
        return r;
    }
    std::vector<std::uint64_t> numbers;
    while (const dirent* e = ::readdir(d)) {
        if (const std::uint64_t n = segment_number(e->d_name); n != 0) numbers.push_back(n);
    }
    ::closedir(d);
    for (const std::uint64_t n : numbers) {
        std::string bytes;
        if (!read_file(spool->segment_path(n), bytes)) {
            r.error = errno_text(spool->segment_path(n));
            return r;
        }
        bool damaged = false;
        const std::uint64_t count = decode(bytes, damaged).size();
        if (count == 0) {
            ::unlink(spool->segment_path(n).c_str());
            continue;
        }
        spool->segments_[n] = count;
        spool->waiting_ += count;
    }
    r.spool = std::move(spool);
    return r;
}

std::uint64_t Spool::next_segment_size() const {
    return segments_.empty() ? 0 : segments_.begin()->second;
}

std::string Spool::append(const std::vector<Message>& messages, std::uint64_t segment_limit,
                          std::size_t& written) {
    std::size_t& i = written;
    i = 0;
    while (i < messages.size()) {
        std::uint64_t number = 0, room = segment_limit;
        if (!segments_.empty() && segments_.rbegin()->second < segment_limit) {
            number = segments_.rbegin()->first;
            room = segment_limit - segments_.rbegin()->second;
        } else {
            std::uint64_t last = FIRST_SEGMENT - 1;
            if (!segments_.empty()) last = std::max(last, segments_.rbegin()->first);
            if (!loaded_.empty()) last = std::max(last, loaded_.rbegin()->first);
            number = last + 1;
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(room, messages.size() - i));
        const std::vector<Message> part(messages.begin() + static_cast<long>(i),
                                        messages.begin() + static_cast<long>(i + n));
        const std::string path = segment_path(number);
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return errno_text(path);
        struct stat st {};
        const off_t before = ::fstat(fd, &st) == 0 ? st.st_size : 0;
        if (!write_all(fd, encode(part))) {
            const std::string why = errno_text(path);
            // No half record left behind to damage the segment.
            if (::ftruncate(fd, before) != 0) {
            }
            ::close(fd);
            return why;
        }
        ::close(fd);
        segments_[number] += n;
        waiting_ += n;
        i += n;
    }
    return {};
}

Spool::Segment Spool::load() {
    Segment s;
    if (segments_.empty()) return s;
    const auto [number, count] = *segments_.begin();
    segments_.erase(segments_.begin());
    waiting_ -= count;
    s.number = number;
    std::string bytes;
    if (!read_file(segment_path(number), bytes)) {
        s.error = errno_text(segment_path(number));
    } else {
        bool damaged = false;
        s.messages = decode(bytes, damaged);
        if (damaged)
            s.error = segment_path(number) + ": damaged after " +
                      std::to_string(s.messages.size()) + " records";
    }
    loaded_[number] = s.messages.size();
    if (s.messages.empty()) release(number);
    return s;
}

void Spool::release(std::uint64_t number) {
    ::unlink(segment_path(number).c_str());
    loaded_.erase(number);
}

std::string Spool::put_back(const std::vector<Message>& older) {
    if (older.empty()) {
        while (!loaded_.empty())
            release(loaded_.begin()->first);
        return {};
    }
    std::uint64_t number = FIRST_SEGMENT;
    if (!loaded_.empty())
        number = loaded_.begin()->first;
    else if (!segments_.empty())
        number = segments_.begin()->first - 1;
    const std::string tmp = path_ + "/put_back.tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno_text(tmp);
    const bool ok = write_all(fd, encode(older)) && ::fsync(fd) == 0;
    const std::string why = errno_text(tmp);
    ::close(fd);
    // Replacing the first loaded segment in one step: a crash leaves either
    // it or the new segment, never neither.
    if (!ok || ::rename(tmp.c_str(), segment_path(number).c_str()) != 0) {
        ::unlink(tmp.c_str());
        return ok ? errno_text(segment_path(number)) : why;
    }
    loaded_.erase(number);
    while (!loaded_.empty())
        release(loaded_.begin()->first);
    segments_[number] = older.size();
    waiting_ += older.size();
    return {};
}

}  // namespace beacon::mqtt
