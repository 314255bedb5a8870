// A real mosquitto broker for the tests, on 127.0.0.1 at a free port, with a
// configuration written into a temporary directory; and a subscriber with a
// persistent session (clean_session=false, QoS 1) that keeps everything it
// receives, as a station's database would (mosquitto_sub, into a file).
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/support.hpp"

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
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }
    std::string url(const std::string& path = "") const {
        return "mqtt://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Returns once it accepts connections.
    void start() {
        proc_ = std::make_unique<Spawned>(
            std::vector<std::string>{MOSQUITTO, "-c", dir_ + "/mosquitto.conf"},
            dir_ + "/stdout.log");
        for (int i = 0; i < 500 && !proc_->exited(); ++i) {
            if (loopback(port_) == 0) return;
            std::this_thread::sleep_for(10ms);
        }
        throw std::runtime_error("mosquitto did not start, see " + dir_);
    }
    // SIGSTOP: connections stay open, nothing is read. kill() returns before
    // the stop takes effect, so this waits for it (the broker is our child);
    // until then the broker may still pass a record to a subscriber whose
    // acknowledgement it then never reads, which QoS 1 answers with a
    // duplicate after the restart.
    void freeze() {
        int status = 0;
        ::kill(proc_->pid(), SIGSTOP);
        if (::waitpid(proc_->pid(), &status, WUNTRACED) != proc_->pid() || !WIFSTOPPED(status))
            throw std::runtime_error("mosquitto did not stop");
    }
    // SIGTERM (and SIGCONT, should it be frozen): it saves its state and
    // exits without reading what waits on its sockets.
    void stop() {
        ::kill(proc_->pid(), SIGTERM);
        ::kill(proc_->pid(), SIGCONT);
        proc_->end(0);
    }

  private:
    std::string dir_;
    int port_ = 0;
    std::unique_ptr<Spawned> proc_;
};

// mosquitto_sub in the session `id`, its messages one a line in a file.
class Subscriber {
  public:
    Subscriber(const Broker& broker, const std::string& id, const std::string& filter)
        : file_(broker.dir() + "/" + id + ".txt"),
          proc_({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                 "-i", id, "-c", "-q", "1", "-t", filter, "-F", "%r %t %p"},
                file_) {
        // Subscribed once the broker says it has confirmed it.
        const std::string acked = "Sending SUBACK to " + id + "\n";
        for (int i = 0; i < 1000; ++i) {
            if (read_file(broker.dir() + "/mosquitto.log").find(acked) != std::string::npos) return;
            std::this_thread::sleep_for(10ms);
        }
        throw std::runtime_error("no subscription " + id);
    }
    ~Subscriber() { proc_.end(SIGTERM); }

    // Waits up to 10 s for `n` messages on `topic` (any topic when empty).
    bool wait_for(std::size_t n, const std::string& topic = {}) const {
        for (int i = 0; i < 1000; ++i) {
            if ((topic.empty() ? messages().size() : payloads(topic).size()) >= n) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // "R TOPIC PAYLOAD" a message, R 1 when it was retained.
    std::vector<std::string> messages() const { return lines(read_file(file_)); }
    std::vector<std::string> payloads(const std::string& topic) const {
        std::vector<std::string> p;
        for (const std::string& m : messages())
            if (m.compare(2, topic.size() + 1, topic + " ") == 0)
                p.push_back(m.substr(topic.size() + 3));
        return p;
    }

  private:
    std::string file_;
    Spawned proc_;
};

}  // namespace beacon::test
