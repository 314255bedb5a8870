// The publisher's thread owns the libmosquitto client and the spool; the
// program's threads only append to the queue under a short lock and wake it.
// A new client is made for every connection, so that what is in flight is
// known exactly: the records the broker has not acknowledged are those of
// the queue marked sent and not acknowledged, and after a reconnection they
// go out again, in order, ahead of the rest.
#include <mosquitto.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "mqtt/mqtt.hpp"
#include "mqtt/spool.hpp"

namespace beacon::mqtt {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int QOS = 1;
constexpr std::size_t MAX_IN_FLIGHT = 60000;
// Without a spool the queue must hold more than what is in flight, so that
// the oldest record not yet sent can always be dropped.
constexpr std::size_t MIN_QUEUE = 2;
// How long after a failed spool write the spool is tried again.
constexpr milliseconds SPOOL_RETRY{1000};
// The thread looks at its timers at least this often.
constexpr milliseconds MAX_WAIT{1000};
// The "offline" status at a clean end gets at least this long.
constexpr milliseconds MIN_GOODBYE{500};

struct ClientDeleter {
    void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};
using Client = std::unique_ptr<mosquitto, ClientDeleter>;

// An eventfd that wakes the publisher's thread.
class Wakeup {
  public:
    Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Wakeup() {
        if (fd_ >= 0) ::close(fd_);
    }
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    int fd() const { return fd_; }
    void signal() const {
        const std::uint64_t one = 1;
        if (::write(fd_, &one, sizeof one) < 0) {
        }  // already signalled (the counter is full): the thread wakes anyway
    }
    void drain() const {
        std::uint64_t n = 0;
        if (::read(fd_, &n, sizeof n) < 0) {
        }
    }

  private:
    int fd_;
};

// A directory name for an endpoint's spool, one per endpoint: characters
// other than letters, digits, '.' and '-' are written as _XX.
std::string spool_name(const Endpoint& e) {
    auto escape = [](std::string_view s) {
        std::string out;
        for (unsigned char c : s) {
            if (std::isalnum(c) || c == '.' || c == '-') {
                out += static_cast<char>(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "_%02X", c);
                out += hex;
            }
        }
        return out;
    };
    std::string name = e.tls ? "mqtts_" : "mqtt_";
    name += escape(e.host) + "_" + std::to_string(e.port);
    if (!e.prefix.empty()) name += "_" + escape(e.prefix);
    return name;
}

// The text after the last ':' of an OpenSSL error line, e.g. "certificate
// verify failed".
std::string openssl_reason(const char* line) {
    std::string s = line;
    const std::size_t colon = s.rfind(':');
    return colon == std::string::npos ? s : s.substr(colon + 1);
}

const char* connack_reason(int rc) {
    switch (rc) {
        case 1:
            return "unacceptable protocol version";
        case 2:
            return "client identifier rejected";
        case 3:
            return "server unavailable";
        case 4:
            return "bad user name or password";
        case 5:
            return "not authorised";
        default:
            return "refused";
    }
}

}  // namespace

struct Item {
    Message message;
    std::uint64_t segment = 0;  // the spool segment it was read from; 0: none
    int mid = 0;                // its message id on the current connection; 0: not sent on it
    bool acked = false;         // or refused: done with either way
    bool refused = false;       // libmosquitto would not send it
    bool sent_before = false;   // on a connection that ended before the acknowledgement
};

struct Publisher::Impl {
    PublisherConfig config;
    std::unique_ptr<Spool> spool;
    std::string status;  // the status topic
    std::string client_id;
    Wakeup wakeup;

    // Shared with the program's threads, under `mutex`. Order of the records:
    // queue, then the spool on disk, then to_spool.
    mutable std::mutex mutex;
    std::deque<Item> queue;  // oldest first; the first `sent` were given to the connection
    std::size_t sent = 0;
    std::size_t in_flight = 0;     // sent on this connection, not acknowledged
    std::deque<Message> to_spool;  // waiting to be written to the spool
    std::uint64_t on_disk = 0;     // in the spool (or being written to it), not loaded
    std::uint64_t published = 0, delivered = 0, resent = 0, dropped = 0, dropped_unreported = 0;
    bool connected = false;
    bool closing = false;
    bool woken = false;  // the thread has been signalled and has not yet looked
    Clock::time_point deadline;
    std::vector<Event> events;
    std::optional<FinishReport> report;
    std::mutex finish_mutex;  // one finish at a time

    // The thread's own.
    enum class Link { down, connecting, up };
    Client client;
    Link link = Link::down;
    Clock::time_point next_attempt, connect_deadline, spool_retry_at;
    milliseconds retry{0};
    std::string last_failure;  // the failure last reported, so that it is not repeated
    std::string last_spool_error;
    bool had_problem = false;  // a failure since the last accepted connection
    std::string tls_error;     // the last OpenSSL error libmosquitto logged
    std::string refusal;       // set by the CONNACK callback when refused
    int status_mid = 0;
    bool status_acked = false;
    std::map<std::uint64_t, std::uint64_t> outstanding;  // segment -> records not delivered

    std::thread thread;  // last: started when everything above exists

    void emit(EventKind kind, std::string detail, std::uint64_t count = 0) {
        events.push_back(Event{kind, std::move(detail), count});
    }
    std::size_t segment_limit() const { return std::max<std::size_t>(1, config.queue_limit / 4); }

    void run();
    void connect();
    void fail(const std::string& why);
    void send_window();
    void service_spool();
    void io(milliseconds wait);
    std::string describe(int rc, int err) const;
    void acknowledged(int mid);
    void goodbye();
    void shutdown();

    static void on_connect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_log(mosquitto*, void* self, int level, const char* text);
};

void Publisher::Impl::on_connect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<Impl*>(self);
    if (rc != 0) {
        p->refusal = std::string("the broker refused the connection: ") + connack_reason(rc);
        return;
    }
    p->link = Link::up;
    p->retry = p->config.retry_min;
    p->last_failure.clear();
    {
        const std::lock_guard<std::mutex> lock(p->mutex);
        p->connected = true;
        p->emit(EventKind::connected, p->had_problem ? "again" : "");
    }
    p->had_problem = false;
    p->status_mid = 0;
    mosquitto_publish(p->client.get(), &p->status_mid, p->status.c_str(),
                      static_cast<int>(std::strlen(STATUS_ONLINE)), STATUS_ONLINE, QOS, true);
}

void Publisher::Impl::on_publish(mosquitto*, void* self, int mid) {
    static_cast<Impl*>(self)->acknowledged(mid);
}

void Publisher::Impl::on_log(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && std::strncmp(text, "OpenSSL Error", 13) == 0) {
        auto* p = static_cast<Impl*>(self);
        if (p->tls_error.empty()) p->tls_error = openssl_reason(text);
    }
}

void Publisher::Impl::acknowledged(int mid) {
    // Message ids come round again after 65535: once the status is
    // acknowledged its id belongs to the records.
    if (status_mid != 0 && mid == status_mid) {
        status_acked = true;
        status_mid = 0;
        return;
    }
    std::vector<std::uint64_t> done;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < sent; ++i) {
            Item& it = queue[i];
            if (it.mid == mid && !it.acked) {
                it.acked = true;
                --in_flight;
                break;
            }
        }
        while (sent > 0 && queue.front().acked) {
            const std::uint64_t seg = queue.front().segment;
            if (seg != 0 && --outstanding[seg] == 0) {
                outstanding.erase(seg);
                done.push_back(seg);
            }
            delivered += queue.front().refused ? 0 : 1;
            queue.pop_front();
            --sent;
        }
    }
    for (const std::uint64_t seg : done)
        spool->release(seg);
}

std::string Publisher::Impl::describe(int rc, int err) const {
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return std::strerror(err);
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_TLS_HANDSHAKE:
            return "TLS handshake failed" + (tls_error.empty() ? "" : ": " + tls_error);
        case MOSQ_ERR_CONN_LOST:
            return "the broker closed the connection";
        case MOSQ_ERR_EAI:
        case MOSQ_ERR_LOOKUP:
            return "cannot resolve the host name";
        case MOSQ_ERR_KEEPALIVE:
            return "the broker stopped answering";
        default:
            return mosquitto_strerror(rc);
    }
}

void Publisher::Impl::connect() {
    Client c(mosquitto_new(client_id.c_str(), true, this));
    if (!c) {
        fail("cannot create a client: out of memory");
        return;
    }
    mosquitto_connect_callback_set(c.get(), on_connect);
    mosquitto_publish_callback_set(c.get(), on_publish);
    mosquitto_log_callback_set(c.get(), on_log);
    mosquitto_max_inflight_messages_set(c.get(), 0);  // the queue sets the window
    mosquitto_int_option(c.get(), MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_will_set(c.get(), status.c_str(), static_cast<int>(std::strlen(STATUS_OFFLINE)),
                       STATUS_OFFLINE, QOS, true);
    if (config.credentials) {
        const Credentials& cr = *config.credentials;
        mosquitto_username_pw_set(c.get(), cr.user.c_str(),
                                  cr.password.empty() ? nullptr : cr.password.c_str());
    }
    if (config.endpoint.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (config.ca_file.empty()) {
            mosquitto_int_option(c.get(), MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            rc = mosquitto_tls_set(c.get(), nullptr, nullptr, nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_tls_set(c.get(), config.ca_file.c_str(), nullptr, nullptr, nullptr,
                                   nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            fail("cannot set up TLS: " + describe(rc, errno));
            return;
        }
    }
    client = std::move(c);
    tls_error.clear();
    refusal.clear();
    status_acked = false;
    const int rc = mosquitto_connect_async(client.get(), config.endpoint.host.c_str(),
                                           config.endpoint.port, config.keepalive_s);
    const int err = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(describe(rc, err));
        return;
    }
    link = Link::connecting;
    connect_deadline = Clock::now() + config.connect_timeout;
}

void Publisher::Impl::fail(const std::string& why) {
    const bool was_up = link == Link::up;
    client.reset();  // closes the socket without DISCONNECT: the broker sends the will
    link = Link::down;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        connected = false;
        for (std::size_t i = 0; i < sent; ++i) {
            queue[i].sent_before = queue[i].sent_before || queue[i].mid != 0;
            queue[i].mid = 0;
        }
        sent = 0;
        in_flight = 0;
        if (was_up) {
            emit(EventKind::connection_lost, why);
        } else if (why != last_failure) {
            emit(EventKind::connect_failed, why);
        }
    }
    last_failure = was_up ? "" : why;
    had_problem = true;
    if (retry < config.retry_min) retry = config.retry_min;
    next_attempt = Clock::now() + retry;
    retry = std::min(retry * 2, config.retry_max);
}

void Publisher::Impl::send_window() {
    for (;;) {
        Message m;
        std::size_t index = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            while (sent < queue.size() && queue[sent].acked)
                ++sent;
            if (in_flight >= config.in_flight || sent >= queue.size()) return;
            // Items before `sent` are never dropped by publish(), so the index
            // stays valid while the lock is released.
            index = sent++;
            m = queue[index].message;
        }
        int mid = 0;
        const int rc =
            mosquitto_publish(client.get(), &mid, m.topic.c_str(),
                              static_cast<int>(m.payload.size()), m.payload.data(), QOS, false);
        const int err = errno;
        if (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE ||
            rc == MOSQ_ERR_OVERSIZE_PACKET) {
            // This record can never go: sending it again would stall the rest.
            const std::lock_guard<std::mutex> lock(mutex);
            queue[index].acked = queue[index].refused = true;
            ++dropped;
            emit(EventKind::record_refused, "'" + m.topic + "': " + describe(rc, err));
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            fail(describe(rc, err));
            return;
        }
        const std::lock_guard<std::mutex> lock(mutex);
        queue[index].mid = mid;
        resent += queue[index].sent_before ? 1 : 0;
        ++in_flight;
    }
}

void Publisher::Impl::service_spool() {
    if (!spool) return;
    std::vector<Message> batch;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        // Nothing on disk: what waits for the spool may go straight to memory.
        while (on_disk == 0 && !to_spool.empty() && queue.size() < config.queue_limit) {
            queue.push_back(Item{std::move(to_spool.front())});
            to_spool.pop_front();
        }
        if (!to_spool.empty() && Clock::now() >= spool_retry_at) {
            batch.assign(std::make_move_iterator(to_spool.begin()),
                         std::make_move_iterator(to_spool.end()));
            to_spool.clear();
            on_disk += batch.size();  // keeps publish() from jumping ahead meanwhile
        }
    }
    if (!batch.empty()) {
        std::size_t written = 0;
        const std::string why = spool->append(batch, segment_limit(), written);
        const std::lock_guard<std::mutex> lock(mutex);
        if (!why.empty()) {
            spool_retry_at = Clock::now() + SPOOL_RETRY;
            if (why != last_spool_error) emit(EventKind::spool_error, why);
            last_spool_error = why;
            to_spool.insert(to_spool.begin(),
                            std::make_move_iterator(batch.begin() + static_cast<long>(written)),
                            std::make_move_iterator(batch.end()));
            // Memory stays bounded while the disk refuses: the oldest go.
            while (to_spool.size() > config.queue_limit) {
                to_spool.pop_front();
                ++dropped;
                ++dropped_unreported;
            }
        }
        on_disk = spool->waiting();
    }
    std::size_t in_memory = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        in_memory = queue.size();
    }
    const std::uint64_t next = spool->next_segment_size();
    if (spool->waiting() == 0 || (in_memory > 0 && in_memory + next > config.queue_limit)) return;
    Spool::Segment seg = spool->load();
    const std::lock_guard<std::mutex> lock(mutex);
    if (!seg.error.empty()) emit(EventKind::spool_error, seg.error);
    if (!seg.messages.empty()) outstanding[seg.number] = seg.messages.size();
    for (Message& m : seg.messages)
        queue.push_back(Item{std::move(m), seg.number});
    on_disk = spool->waiting();
}

void Publisher::Impl::io(milliseconds wait) {
    pollfd fds[2] = {{wakeup.fd(), POLLIN, 0}, {-1, 0, 0}};
    const int sock = client ? mosquitto_socket(client.get()) : -1;
    if (sock >= 0) {
        fds[1].fd = sock;
        fds[1].events =
            static_cast<short>(POLLIN | (mosquitto_want_write(client.get()) ? POLLOUT : 0));
    }
    const int n = ::poll(fds, sock >= 0 ? 2 : 1, static_cast<int>(std::max<long>(0, wait.count())));
    if (n < 0) return;  // EINTR: the caller loops
    if (fds[0].revents != 0) {
        wakeup.drain();
        // Cleared before the queue is looked at, so no record goes unseen.
        const std::lock_guard<std::mutex> lock(mutex);
        woken = false;
    }
    if (!client) return;
    int rc = MOSQ_ERR_SUCCESS;
    if (sock >= 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0)
        rc = mosquitto_loop_read(client.get(), 1);
    if (rc == MOSQ_ERR_SUCCESS && sock >= 0 && (fds[1].revents & POLLOUT) != 0)
        rc = mosquitto_loop_write(client.get(), 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(client.get());
    const int err = errno;
    if (!refusal.empty()) {
        fail(refusal);
    } else if (rc != MOSQ_ERR_SUCCESS) {
        fail(describe(rc, err));
    }
}

void Publisher::Impl::run() {
    // A write to a socket the broker has closed (OpenSSL writes without
    // MSG_NOSIGNAL) must fail with EPIPE rather than end the program: SIGPIPE
    // is blocked in this thread only, where such a write happens.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        const Clock::time_point now = Clock::now();
        bool done = false;
        Clock::time_point until;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            const bool empty = queue.empty() && to_spool.empty() && on_disk == 0;
            if (closing && (empty || now >= deadline)) break;
            // An overflow has ended when the queue has room again.
            if (dropped_unreported > 0 && queue.size() <= config.queue_limit / 2) {
                emit(EventKind::records_dropped, "", dropped_unreported);
                dropped_unreported = 0;
            }
            done = closing;
            until = deadline;
        }
        if (link == Link::down && now >= next_attempt) connect();
        if (link == Link::connecting && now >= connect_deadline)
            fail("no answer from the broker within " +
                 std::to_string(config.connect_timeout.count() / 1000) + " s");
        service_spool();
        if (link == Link::up) send_window();

        Clock::time_point wake = now + MAX_WAIT;
        if (link == Link::down) wake = std::min(wake, next_attempt);
        if (link == Link::connecting) wake = std::min(wake, connect_deadline);
        if (done) wake = std::min(wake, until);
        io(std::chrono::ceil<milliseconds>(wake - Clock::now()));
    }
    shutdown();
}

// Everything was delivered: "offline" on the status topic, then a clean
// DISCONNECT, so that the broker does not send the will as well.
void Publisher::Impl::goodbye() {
    status_mid = 0;
    status_acked = false;
    if (mosquitto_publish(client.get(), &status_mid, status.c_str(),
                          static_cast<int>(std::strlen(STATUS_OFFLINE)), STATUS_OFFLINE, QOS,
                          true) != MOSQ_ERR_SUCCESS)
        return;
    Clock::time_point until;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        until = std::max(deadline, Clock::now() + MIN_GOODBYE);
    }
    while (link == Link::up && !status_acked && Clock::now() < until)
        io(std::chrono::ceil<milliseconds>(until - Clock::now()));
    if (link != Link::up) return;
    mosquitto_disconnect(client.get());
    while (client && mosquitto_want_write(client.get()) && Clock::now() < until)
        if (mosquitto_loop_write(client.get(), 1) != MOSQ_ERR_SUCCESS) break;
}

void Publisher::Impl::shutdown() {
    bool all_sent = false;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        all_sent = queue.empty() && to_spool.empty() && on_disk == 0;
    }
    if (link == Link::up && all_sent) goodbye();
    client.reset();
    link = Link::down;

    const std::lock_guard<std::mutex> lock(mutex);
    connected = false;
    FinishReport r;
    std::vector<Message> older;
    for (Item& it : queue) {
        if (it.acked) {
            delivered += it.refused ? 0 : 1;
        } else {
            older.push_back(std::move(it.message));
        }
    }
    queue.clear();
    sent = 0;
    std::vector<Message> newer(std::make_move_iterator(to_spool.begin()),
                               std::make_move_iterator(to_spool.end()));
    to_spool.clear();
    if (spool) {
        std::string why = spool->put_back(older);
        if (why.empty()) {
            older.clear();
            std::size_t written = 0;
            why = spool->append(newer, segment_limit(), written);
            newer.erase(newer.begin(), newer.begin() + static_cast<long>(written));
        }
        if (!why.empty()) emit(EventKind::spool_error, why);
        r.spooled = spool->waiting();
    }
    r.unsent = older.size() + newer.size();
    r.delivered = delivered;
    if (dropped_unreported > 0) emit(EventKind::records_dropped, "", dropped_unreported);
    dropped_unreported = 0;
    r.dropped = dropped;
    on_disk = r.spooled;
    report = r;
}

Publisher::Publisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Publisher::~Publisher() {
    finish(milliseconds(0));
}

Publisher::Started Publisher::start(PublisherConfig config) {
    Started s;
    if (const std::string why = topic_level_error(config.station); !why.empty()) {
        s.error = "the station name '" + config.station + "' " + why;
        return s;
    }
    if (config.endpoint.tls && !config.ca_file.empty() &&
        ::access(config.ca_file.c_str(), R_OK) != 0) {
        s.error = config.ca_file + ": " + std::strerror(errno);
        return s;
    }
    auto impl = std::make_unique<Impl>();
    if (impl->wakeup.fd() < 0) {
        s.error = std::string("eventfd: ") + std::strerror(errno);
        return s;
    }
    if (!config.spool_dir.empty()) {
        Spool::Opened o = Spool::open(config.spool_dir, spool_name(config.endpoint));
        if (!o.spool) {
            s.error = "spool: " + o.error;
            return s;
        }
        impl->spool = std::move(o.spool);
        impl->on_disk = impl->spool->waiting();
    }
    // Ids of messages in flight must differ, and there are 65535 of them.
    config.in_flight = std::clamp<std::size_t>(config.in_flight, 1, MAX_IN_FLIGHT);
    config.queue_limit = std::max({config.queue_limit, config.in_flight + 1, MIN_QUEUE});
    impl->status = status_topic(config.endpoint, config.station);
    impl->client_id = !config.client_id.empty()
                          ? config.client_id
                          : "beacon-" + config.station + "-" + std::to_string(::getpid());
    impl->retry = config.retry_min;
    impl->config = std::move(config);
    static std::once_flag library;
    std::call_once(library, [] { mosquitto_lib_init(); });
    Impl* p = impl.get();
    impl->thread = std::thread([p] { p->run(); });
    s.publisher.reset(new Publisher(std::move(impl)));
    return s;
}

void Publisher::publish(std::string_view level, std::string payload) {
    Impl& p = *impl_;
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(p.mutex);
        if (p.closing) return;
        // One signal until the thread has looked: a burst costs one wake-up.
        wake = !p.woken;
        p.woken = true;
        ++p.published;
        Message m{record_topic(p.config.endpoint, p.config.station, level), std::move(payload)};
        if (p.spool) {
            if (p.to_spool.empty() && p.on_disk == 0 && p.queue.size() < p.config.queue_limit) {
                p.queue.push_back(Item{std::move(m)});
            } else {
                p.to_spool.push_back(std::move(m));
            }
        } else {
            p.queue.push_back(Item{std::move(m)});
            if (p.queue.size() > p.config.queue_limit) {
                // The oldest record not yet given to the connection.
                p.queue.erase(p.queue.begin() + static_cast<long>(p.sent));
                ++p.dropped;
                ++p.dropped_unreported;
            }
        }
    }
    if (wake) p.wakeup.signal();
}

std::vector<Event> Publisher::take_events() {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<Event> e;
    e.swap(impl_->events);
    return e;
}

Stats Publisher::stats() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    Stats s;
    s.published = impl_->published;
    s.delivered = impl_->delivered;
    s.resent = impl_->resent;
    s.in_memory = impl_->queue.size() + impl_->to_spool.size();
    s.on_disk = impl_->on_disk;
    s.connected = impl_->connected;
    return s;
}

FinishReport Publisher::finish(milliseconds linger) {
    Impl& p = *impl_;
    const std::lock_guard<std::mutex> once(p.finish_mutex);
    {
        const std::lock_guard<std::mutex> lock(p.mutex);
        if (p.report) return *p.report;
        p.closing = true;
        p.deadline = Clock::now() + linger;
    }
    p.wakeup.signal();
    if (p.thread.joinable()) p.thread.join();
    const std::lock_guard<std::mutex> lock(p.mutex);
    return *p.report;
}

const PublisherConfig& Publisher::config() const {
    return impl_->config;
}

}  // namespace beacon::mqtt
