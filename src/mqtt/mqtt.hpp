// Records to an MQTT broker. A Publisher takes records from the program and
// never makes it wait for the broker: each goes into a bounded queue in
// memory (and on into a spool directory, when one is given), and a thread of
// the publisher's own sends them through libmosquitto at QoS 1, in order,
// keeping each until the broker has acknowledged it (PUBACK) and sending the
// unacknowledged ones again, in order, after a reconnection. Connections are
// retried with a growing pause. The retained topic PREFIX/STATION/status says
// "online" while the publisher is connected, "offline" after a clean finish,
// and the broker's last will says "offline" when the program dies.
//
// Nothing here prints. What happens on the way comes back as events
// (take_events) and as the report of finish(); the program words them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace beacon::mqtt {

// Where records go: mqtt://HOST[:PORT][/PREFIX] or mqtts://... (TLS).
struct Endpoint {
    bool tls = false;
    std::string host;    // a name, an IPv4 address, or an IPv6 address without brackets
    int port = 1883;     // 1883, or 8883 for mqtts, unless given
    std::string prefix;  // the topic prefix, without slashes at either end; may be empty

    // The endpoint as a URL with the port always given, for messages.
    std::string url() const;
};

struct UrlResult {
    std::optional<Endpoint> endpoint;
    std::string error;  // why the text is not a usable URL, when endpoint is empty
};

UrlResult parse_url(std::string_view text);

struct Credentials {
    std::string user;
    std::string password;
};

struct CredentialsResult {
    std::optional<Credentials> credentials;  // empty when none were given, or on an error
    std::string error;
};

// A credentials file: lines "user=NAME" and "password=SECRET" (the value is
// everything after the first '=' up to the end of the line, a final carriage
// return removed); blank lines and lines starting with '#' are ignored. The
// file must be a regular file that neither its group nor others may read,
// write or execute (chmod 600 or 400), or it is refused.
CredentialsResult read_credentials_file(const std::string& path);

// Credentials from the values of BEACON_MQTT_USER and BEACON_MQTT_PASSWORD
// (null when unset): none when neither is set; a password needs a user.
CredentialsResult credentials_from_environment(const char* user, const char* password);

// Why `text` cannot be one level of a topic name (empty, a '/', '+', '#',
// a control character, not UTF-8), or empty when it can.
std::string topic_level_error(std::string_view text);

// The topic level of a frequency in Hz: the shortest decimal form that reads
// back as the same number, never with an exponent: 800, 800.5, 1296.25, -3.
std::string freq_level(double hz);

// PREFIX/STATION/LEVEL, or STATION/LEVEL without a prefix.
std::string record_topic(const Endpoint& endpoint, std::string_view station,
                         std::string_view level);
std::string status_topic(const Endpoint& endpoint, std::string_view station);

inline constexpr const char* STATUS_ONLINE = "online";
inline constexpr const char* STATUS_OFFLINE = "offline";

struct PublisherConfig {
    Endpoint endpoint;
    std::string station;                     // one topic level (see topic_level_error)
    std::string ca_file;                     // mqtts: CA certificates (PEM); empty: the system's
    std::optional<Credentials> credentials;  // none: an anonymous connection
    std::string spool_dir;                   // empty: no spool, a full queue drops the oldest
    std::string client_id;                   // empty: beacon-STATION-PID
    std::size_t queue_limit = 10000;         // records held in memory (at least 2)
    std::size_t in_flight = 100;             // records sent and not yet acknowledged
    std::chrono::milliseconds retry_min{500};
    std::chrono::milliseconds retry_max{30000};
    std::chrono::milliseconds connect_timeout{10000};  // from the attempt to CONNACK
    int keepalive_s = 30;
};

enum class EventKind {
    connected,        // a connection was accepted (detail: "again" after a failure)
    connect_failed,   // an attempt failed (detail: why); repeated only when the reason changes
    connection_lost,  // an accepted connection ended (detail: why)
    records_dropped,  // the queue was full without a spool (count: how many, oldest first)
    spool_error,      // the spool could not be read or written (detail: why)
    record_refused,   // libmosquitto refused a record, e.g. its topic (detail: why); dropped
};

struct Event {
    EventKind kind;
    std::string detail;
    std::uint64_t count = 0;
};

// What became of the records at the end.
struct FinishReport {
    std::uint64_t delivered = 0;  // acknowledged by the broker during this run
    std::uint64_t dropped = 0;    // dropped from a full queue (no spool, or it failed), refused
    std::uint64_t unsent = 0;     // not delivered and not spooled: lost
    std::uint64_t spooled = 0;    // in the spool after the end, for the next run
    bool lost() const { return dropped + unsent > 0; }
};

// A snapshot of the publisher's state, for tests and measurements.
struct Stats {
    std::uint64_t published = 0;  // records handed to publish()
    std::uint64_t delivered = 0;  // acknowledged by the broker
    std::uint64_t resent = 0;     // sent again after a connection ended unacknowledged
    std::uint64_t in_memory = 0;  // waiting or in flight, in memory
    std::uint64_t on_disk = 0;    // waiting in the spool
    bool connected = false;
};

class Publisher {
  public:
    struct Started;
    // Opens the spool (if any; it is locked against a second process) and
    // starts the thread, which connects at once.
    static Started start(PublisherConfig config);

    ~Publisher();  // finish(0) when finish was not called
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Queues `payload` for PREFIX/STATION/LEVEL and returns at once: a short
    // lock, never a wait for the broker or the disk. After finish, ignored.
    void publish(std::string_view level, std::string payload);

    // The events since the last call, oldest first.
    std::vector<Event> take_events();

    Stats stats() const;

    // Sends what is queued for up to `linger`, then stops: what is still
    // undelivered goes to the spool (if any) or is lost. The first call
    // decides; later calls return the same report.
    FinishReport finish(std::chrono::milliseconds linger);

    const PublisherConfig& config() const;

  private:
    struct Impl;
    explicit Publisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

struct Publisher::Started {
    std::unique_ptr<Publisher> publisher;
    std::string error;  // why it could not start, when publisher is null
};

}  // namespace beacon::mqtt
