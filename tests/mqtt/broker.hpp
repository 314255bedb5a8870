// A real mosquitto broker for the tests, on 127.0.0.1 at a free port, with a
// configuration written into a temporary directory; and a subscriber with a
// persistent session (clean_session=false, QoS 1) that keeps everything it
// receives, as a station's database would.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace beacon::test {

using namespace std::chrono_literals;

inline constexpr const char* MOSQUITTO = "/usr/sbin/mosquitto";

// A TCP socket on 127.0.0.1 connected to `port`, or bound to a free port
// (which `bound` receives); returns 0 when that worked.
inline int loopback(int port, int* bound = nullptr) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    const int rc = bound ? ::bind(s, sa, len) | ::getsockname(s, sa, &len) : ::connect(s, sa, len);
    if (bound != nullptr) *bound = ntohs(a.sin_port);
    ::close(s);
    return rc;
}

class Broker {
  public:
    // `extra` ends the configuration (TLS, passwords). Persistence is on,
    // in `dir`, so that sessions outlive a restart.
    explicit Broker(std::string dir, const std::string& extra = "allow_anonymous true\n")
        : dir_(std::move(dir)) {
        if (loopback(0, &port_) != 0) throw std::runtime_error("no free port");
        std::ofstream(dir_ + "/mosquitto.conf")
            << "listener " << port_ << " 127.0.0.1\npersistence true\npersistence_location " << dir_
            << "/\nmax_queued_messages 0\n"  // a subscriber away misses nothing
            << "log_dest file " << dir_ << "/mosquitto.log\nlog_type all\n"
            << "user root\n"  // as root it would switch to a user that cannot read dir_
            << extra;
    }
    ~Broker() {
        if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "") const {
        return "mqtt://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Returns once it accepts connections.
    void start() {
        const std::string conf = dir_ + "/mosquitto.conf", out = dir_ + "/stdout.log";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const char* argv[] = {MOSQUITTO, "-c", conf.c_str(), nullptr};
        const int rc =
            posix_spawn(&pid_, MOSQUITTO, &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; rc == 0 && i < 500; ++i) {
            if (loopback(port_) == 0) return;
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        throw std::runtime_error("mosquitto did not start, see " + out);
    }
    // SIGSTOP: connections stay open, nothing is read. kill() returns before
    // the stop takes effect; until then the broker may still pass a record to
    // a subscriber whose acknowledgement it then never reads, which QoS 1
    // answers with a duplicate after the restart.
    void freeze() {
        ::kill(pid_, SIGSTOP);
        for (int i = 0; i < 5000; ++i) {
            std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
            const std::string text{std::istreambuf_iterator<char>(f), {}};
            const std::size_t paren = text.rfind(')');
            if (paren != std::string::npos && text.compare(paren, 3, ") T") == 0) return;
            std::this_thread::sleep_for(1ms);
        }
        throw std::runtime_error("mosquitto did not stop");
    }
    // SIGTERM (and SIGCONT, should it be frozen): it saves its state and
    // exits without reading what waits on its sockets.
    void stop() {
        ::kill(pid_, SIGTERM);
        ::kill(pid_, SIGCONT);
        for (int i = 0; i < 500 && ::waitpid(pid_, nullptr, WNOHANG) != pid_; ++i)
            std::this_thread::sleep_for(10ms);
        ::kill(pid_, SIGKILL);  // if it still runs
        ::waitpid(pid_, nullptr, WNOHANG);
        pid_ = -1;
    }

  private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

struct Received {
    std::string topic, payload;
    bool retained = false;
};

class Subscriber {
  public:
    // Subscribes to `filter` at QoS 1 in the persistent session `id`, and
    // returns once the broker has confirmed it.
    Subscriber(int port, const std::string& id, std::string filter) : filter_(std::move(filter)) {
        mosquitto_lib_init();
        client_ = mosquitto_new(id.c_str(), false, this);
        mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
            // Again after a reconnection: the broker may not have kept it.
            if (rc == 0) mosquitto_subscribe(m, nullptr, as(self).filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            as(self).update([](Subscriber& s) { s.subscribed_ = true; });
        });
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* m) {
                as(self).update([m](Subscriber& s) {
                    s.messages_.push_back(
                        {m->topic,
                         {static_cast<const char*>(m->payload), std::size_t(m->payloadlen)},
                         m->retain});
                });
            });
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("subscriber cannot connect");
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, 10s, [&] { return subscribed_; }))
            throw std::runtime_error("subscriber not subscribed");
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Waits up to 10 s for `n` messages on `topic` (any topic when empty).
    bool wait_for(std::size_t n, const std::string& topic = {}) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            return topic.empty() ? messages_.size() >= n : payloads_locked(topic).size() >= n;
        });
    }
    std::vector<Received> messages() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::string> payloads(const std::string& topic) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return payloads_locked(topic);
    }

  private:
    static Subscriber& as(void* self) { return *static_cast<Subscriber*>(self); }
    template <typename F>
    void update(F f) {
        const std::lock_guard<std::mutex> lock(mutex_);
        f(*this);
        changed_.notify_all();
    }
    std::vector<std::string> payloads_locked(const std::string& topic) const {
        std::vector<std::string> p;
        for (const Received& r : messages_)
            if (r.topic == topic) p.push_back(r.payload);
        return p;
    }

    mosquitto* client_ = nullptr;
    std::string filter_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> messages_;
    bool subscribed_ = false;
};

}  // namespace beacon::test
