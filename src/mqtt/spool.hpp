// The publisher's spool: records that do not fit in memory, or that are still
// undelivered when the program ends, kept on disk in the order they were
// published. One directory per endpoint under the spool directory, locked by
// the process that uses it, holds numbered segment files; records are
// appended to the newest, read back a whole segment at a time from the
// oldest, and a segment is deleted once the broker has acknowledged all of
// its records. What was still in memory at the end becomes a new segment in
// front of the others, so the next run sends everything in order.
//
// A segment is a sequence of records, each "TOPIC_BYTES PAYLOAD_BYTES\n",
// the topic, the payload and "\n": any bytes, and a person can read it.
// Records are written with write(2), so they survive the program being
// killed; a record cut short by a crash ends its segment.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace beacon::mqtt {

struct Message {
    std::string topic;
    std::string payload;
};

class Spool {
  public:
    struct Opened;
    // Creates `dir` and its subdirectory `name` if needed, takes the lock
    // and counts the records waiting there.
    static Opened open(const std::string& dir, const std::string& name);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    const std::string& path() const { return path_; }
    // Records on disk in segments not yet loaded.
    std::uint64_t waiting() const { return waiting_; }
    // Records in the oldest segment not yet loaded (0 when none).
    std::uint64_t next_segment_size() const;

    // Appends after everything else; segments hold at most `segment_limit`
    // records. Returns why it failed, or empty; `written` says how many of
    // the records (the first ones) are on disk all the same.
    std::string append(const std::vector<Message>& messages, std::uint64_t segment_limit,
                       std::size_t& written);

    struct Segment {
        std::uint64_t number = 0;
        std::vector<Message> messages;
        std::string error;  // the segment was damaged after these records
    };
    // Reads the oldest segment not yet loaded; it stays on disk until
    // release(number). Only call when waiting() > 0.
    Segment load();
    // Every record of a loaded segment was delivered: deletes it.
    void release(std::uint64_t number);

    // At the end: `older` are the records still undelivered that were taken
    // from memory, oldest first, including every record of the loaded
    // segments. They replace those segments as the new first segment.
    // Returns why it failed, or empty.
    std::string put_back(const std::vector<Message>& older);

  private:
    Spool(std::string path, int lock_fd);
    std::string segment_path(std::uint64_t number) const;

    std::string path_;
    int lock_fd_;
    std::map<std::uint64_t, std::uint64_t> segments_;  // number -> records, not yet loaded
    std::map<std::uint64_t, std::uint64_t> loaded_;    // loaded, not yet released
    std::uint64_t waiting_ = 0;
};

struct Spool::Opened {
    std::unique_ptr<Spool> spool;
    std::string error;
};

}  // namespace beacon::mqtt
