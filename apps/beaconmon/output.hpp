// Where the records go: standard output or a file opened for appending
// (never truncated), reopened on request so that a rotated log is left to
// its rotator and writing goes on in a new file. Each record is written
// whole and at once; the CSV header row goes at the head of every file that
// is empty when opened, and of a pipe or terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace beacon::mon {

enum class WriteStatus { ok, closed, error };  // closed: the reader of a pipe went

class Output {
  public:
    // `path` empty: standard output. The error text when the file cannot be
    // opened.
    std::optional<std::string> open(const std::string& path, std::string header);
    ~Output();

    WriteStatus write(std::string_view text);
    // Closes a file and opens its path anew (standard output is left as it
    // is). The error text when that fails; writing then goes on into the
    // file that was open.
    std::optional<std::string> reopen();
    // Why the last write failed.
    const std::string& error() const { return error_; }

  private:
    std::optional<std::string> open_file(int& fd);
    WriteStatus put(int fd, std::string_view text);
    WriteStatus start(int fd);  // the header, where one belongs

    std::string path_;
    std::string header_;
    int fd_ = 1;
    std::string error_;
};

}  // namespace beacon::mon
