#include "common/mqtt_cli.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cmath>
#include <set>
#include <thread>

#include "util/format.hpp"

namespace beacon {
namespace {

constexpr const char* GROUP = "MQTT output (records to a broker)";
constexpr double MAX_LINGER_S = 3600.0;

std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace

void add_mqtt_options(CLI::App& app, MqttOptions& o) {
    app.add_option("--mqtt", o.urls,
                   "Also publish each record to mqtt://HOST[:PORT][/PREFIX] or mqtts://... "
                   "(repeatable)")
        ->type_name("URL")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(GROUP);
    app.add_option("--station", o.station,
                   "Station in the topics PREFIX/STATION/FREQ (default: the host name)")
        ->type_name("NAME")
        ->group(GROUP);
    app.add_option("--mqtt-ca", o.ca_file,
                   "CA certificates (PEM) for mqtts:// (default: the system's)")
        ->type_name("FILE")
        ->group(GROUP);
    app.add_option("--mqtt-auth", o.auth_file,
                   "File of lines user=NAME, password=SECRET; mode 600 (default: "
                   "BEACON_MQTT_USER, BEACON_MQTT_PASSWORD)")
        ->type_name("FILE")
        ->group(GROUP);
    app.add_option("--mqtt-spool", o.spool_dir,
                   "Directory for records waiting for a broker, kept across runs")
        ->type_name("DIR")
        ->group(GROUP);
    app.add_option("--mqtt-linger", o.linger_s,
                   "Seconds to wait at the end for queued records to go out")
        ->type_name("S")
        ->capture_default_str()
        ->group(GROUP);
}

MqttSetup check_mqtt_options(const MqttOptions& o, const char* env_user, const char* env_password) {
    MqttSetup s;
    if (o.urls.empty()) {
        if (!o.station.empty() || !o.ca_file.empty() || !o.auth_file.empty() ||
            !o.spool_dir.empty() || o.linger_s != MqttOptions{}.linger_s)
            s.error = "the MQTT options need --mqtt URL";
        return s;
    }
    if (!std::isfinite(o.linger_s) || o.linger_s < 0 || o.linger_s > MAX_LINGER_S) {
        s.error = format("--mqtt-linger: must be from 0 to %.0f seconds, got %g", MAX_LINGER_S,
                         o.linger_s);
        return s;
    }
    const std::string station = o.station.empty() ? host_name() : o.station;
    if (const std::string why = mqtt::topic_level_error(station); !why.empty()) {
        s.error = "--station: '" + station + "' " + why +
                  (o.station.empty() ? " (it is the host name; give --station NAME)" : "");
        return s;
    }
    mqtt::CredentialsResult cred = !o.auth_file.empty()
                                       ? mqtt::read_credentials_file(o.auth_file)
                                       : mqtt::credentials_from_environment(env_user, env_password);
    if (!cred.error.empty()) {
        s.error = (o.auth_file.empty() ? "" : "--mqtt-auth: ") + cred.error;
        return s;
    }
    bool any_tls = false;
    std::set<std::string> seen;
    for (const std::string& text : o.urls) {
        mqtt::UrlResult u = mqtt::parse_url(text);
        if (!u.endpoint || !seen.insert(u.endpoint->url()).second) {
            s.error = "--mqtt: " + (u.endpoint ? u.endpoint->url() + " given twice" : u.error);
            s.publishers.clear();
            return s;
        }
        any_tls = any_tls || u.endpoint->tls;
        mqtt::PublisherConfig c;
        c.endpoint = *u.endpoint;
        c.station = station;
        c.ca_file = u.endpoint->tls ? o.ca_file : "";
        c.credentials = cred.credentials;
        c.spool_dir = o.spool_dir;
        s.publishers.push_back(std::move(c));
    }
    if (!o.ca_file.empty() && !any_tls) {
        s.error = "--mqtt-ca: applies to mqtts:// URLs only, and none was given";
        s.publishers.clear();
    }
    return s;
}

std::string MqttOutput::start(const std::vector<mqtt::PublisherConfig>& publishers,
                              double linger_s) {
    linger_ = std::chrono::milliseconds(std::llround(linger_s * 1000.0));
    // The publishers' threads inherit the signal mask: with the programs'
    // signals blocked they never take one, so that it interrupts the thread
    // that reads the input.
    sigset_t programs, old;
    sigemptyset(&programs);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&programs, sig);
    pthread_sigmask(SIG_BLOCK, &programs, &old);
    std::string why;
    for (const mqtt::PublisherConfig& c : publishers) {
        mqtt::Publisher::Started s = mqtt::Publisher::start(c);
        if (!s.publisher) {
            why = c.endpoint.url() + ": " + s.error;
            break;
        }
        publishers_.push_back(std::move(s.publisher));
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return why;
}

void MqttOutput::publish(double freq_hz, std::string payload) {
    const std::string level = mqtt::freq_level(freq_hz);
    for (std::size_t i = 0; i < publishers_.size(); ++i)
        publishers_[i]->publish(level, i + 1 < publishers_.size() ? payload : std::move(payload));
}

void MqttOutput::publish_lines(double freq_hz, std::string_view jsonl) {
    for (std::size_t pos = 0; pos < jsonl.size();) {
        std::size_t end = jsonl.find('\n', pos);
        if (end == std::string_view::npos) end = jsonl.size();
        publish(freq_hz, std::string(jsonl.substr(pos, end - pos)));
        pos = end + 1;
    }
}

void MqttOutput::add_messages(mqtt::Publisher& p, std::vector<std::string>& out) {
    const std::string head = program_ + ": " + p.config().endpoint.url() + ": ";
    for (const mqtt::Event& e : p.take_events()) {
        switch (e.kind) {
            case mqtt::EventKind::connected:
                if (!e.detail.empty()) out.push_back(head + "connected again\n");
                break;
            case mqtt::EventKind::connect_failed:
                out.push_back(head + "cannot connect: " + e.detail + "\n");
                break;
            case mqtt::EventKind::connection_lost:
                out.push_back(head + "connection lost: " + e.detail + "\n");
                break;
            case mqtt::EventKind::records_dropped:
                out.push_back(head +
                              format("queue full, %llu oldest record%s dropped (--mqtt-spool "
                                     "would have kept them)\n",
                                     static_cast<unsigned long long>(e.count),
                                     e.count == 1 ? "" : "s"));
                break;
            case mqtt::EventKind::spool_error:
                out.push_back(head + "spool: " + e.detail + "\n");
                break;
            case mqtt::EventKind::record_refused:
                out.push_back(head + "record dropped: " + e.detail + "\n");
                break;
        }
    }
}

std::vector<std::string> MqttOutput::take_messages() {
    std::vector<std::string> out;
    for (auto& p : publishers_)
        add_messages(*p, out);
    return out;
}

MqttOutput::Finished MqttOutput::finish() {
    Finished f;
    std::vector<mqtt::FinishReport> reports(publishers_.size());
    {
        // All brokers linger at the same time.
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < publishers_.size(); ++i)
            threads.emplace_back([&, i] { reports[i] = publishers_[i]->finish(linger_); });
    }
    for (std::size_t i = 0; i < publishers_.size(); ++i) {
        mqtt::Publisher& p = *publishers_[i];
        const mqtt::FinishReport& r = reports[i];
        add_messages(p, f.messages);
        const std::string head = program_ + ": " + p.config().endpoint.url() + ": ";
        if (r.unsent > 0)
            f.messages.push_back(head + format("%llu record%s not delivered, lost\n",
                                               static_cast<unsigned long long>(r.unsent),
                                               r.unsent == 1 ? "" : "s"));
        if (r.spooled > 0)
            f.messages.push_back(head +
                                 format("%llu record%s not delivered, kept in the spool %s\n",
                                        static_cast<unsigned long long>(r.spooled),
                                        r.spooled == 1 ? "" : "s", p.config().spool_dir.c_str()));
        f.lost = f.lost || r.lost();
    }
    return f;
}

}  // namespace beacon
