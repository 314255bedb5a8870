// Records to a real mosquitto broker on the loopback address: every record
// of a run arrives once, in order, byte for byte the JSON Lines output; the
// broker stopped in the middle of a stream loses and duplicates nothing; a
// broker that is not there, refuses the credentials or shows a certificate
// of another CA gives one clear line and leaves the normal output alone; the
// status topic says online, offline, and offline again as the last will.
#include "broker.hpp"

#include <gtest/gtest.h>

#include <map>

#include "mqtt/mqtt.hpp"
#include "support/support.hpp"

namespace beacon::test {
namespace {

const std::string SCAN = BEACONSCAN_PATH, MON = BEACONMON_PATH;
using Args = std::vector<std::string>;

class MqttBroker : public testing::Test {
  protected:
    void SetUp() override {
        if (::access(MOSQUITTO, X_OK) != 0)
            GTEST_SKIP() << "no mosquitto (scripts/install-deps installs it)";
    }
    std::string dir(const std::string& name) {
        std::filesystem::create_directories(tmp_.file(name));
        return tmp_.file(name);
    }
    // FRAMES frames of a beacon a minute apart from 10:00:01 UTC.
    std::string recording(int frames, const std::string& message, int seconds) {
        const std::string path = dir(message + std::to_string(frames)) + "/20261207_100000.wav";
        const RunResult r = run({BEACONSIM_PATH, "-m", message, "-n", std::to_string(frames), "-l",
                                 std::to_string(seconds), "--snr", "-12", path});
        EXPECT_EQ(r.status, 0) << r.err;
        return path;
    }
    TempDir tmp_;
};

// Each program's records at PREFIX/STATION/FREQ are its --format jsonl
// lines, all, once and in order, while it writes text (which leaves out
// beaconmon's last minute, without a frame; that the text stays as it is
// without --mqtt, the next test but one shows).
TEST_F(MqttBroker, EveryRecordOnceInOrderAsJsonLines) {
    Broker broker(dir("broker"));
    broker.start();
    Subscriber db(broker, "db", "pi4/#");
    const std::tuple<std::string, std::string, Args> runs[] = {
        {"rx1", "799.5", {MON, "-q", "-f", "799.5", recording(9, "PA0ABC", 600)}},
        {"rx2", "800", {SCAN, "-q", recording(2, "OZ7IGY/B", 120)}},
    };
    Args want;
    for (const auto& [station, freq, args] : runs) {
        const Args jsonl = lines(run(args + Args{"--format", "jsonl"}).out);
        const RunResult r = run(args + Args{"--mqtt", broker.url("/pi4"), "--station", station});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_GE(jsonl.size(), 2u);
        want.push_back("0 pi4/" + station + "/status online");
        for (const std::string& line : jsonl)
            want.push_back("0 pi4/" + station + "/" + freq + " " + line);
        want.push_back("0 pi4/" + station + "/status offline");
    }
    ASSERT_TRUE(db.wait_for(want.size()));
    std::this_thread::sleep_for(200ms);  // time for a duplicate to show
    EXPECT_EQ(db.messages(), want);
}

// The publisher fed a stream of 10 records a second for 60 simulated
// seconds; at second 10 the broker freezes (the records in flight reach it
// and are never acknowledged) and stops; it is back at second 40. The queue
// holds 40 records, the rest waits in the spool.
TEST_F(MqttBroker, BrokerAwayThirtySecondsNothingLostOrDuplicated) {
    Broker broker(dir("broker"));
    broker.start();
    Subscriber db(broker, "db-outage", "out/#");
    const mqtt::PublisherConfig c{.endpoint = *mqtt::parse_url(broker.url("/out")).endpoint,
                                  .station = "rx",
                                  .spool_dir = dir("spool"),
                                  .queue_limit = 40,
                                  .in_flight = 20,
                                  .retry_min = 100ms,
                                  .retry_max = 400ms};
    mqtt::Publisher::Started s = mqtt::Publisher::start(c);
    ASSERT_TRUE(s.publisher) << s.error;
    mqtt::Publisher& p = *s.publisher;
    constexpr int PER_SECOND = 10, N = 60 * PER_SECOND;
    auto record = [](int i) { return "{\"n\":" + std::to_string(i) + "}"; };
    int i = 0;
    auto until_second = [&](int t) {
        for (; i < t * PER_SECOND; ++i)
            p.publish("800.5", record(i));
    };
    until_second(10);
    ASSERT_TRUE(db.wait_for(100, "out/rx/800.5"));
    std::this_thread::sleep_for(200ms);  // the subscriber's acknowledgements reach the broker
    broker.freeze();
    until_second(15);
    std::this_thread::sleep_for(200ms);
    broker.stop();
    until_second(40);
    std::this_thread::sleep_for(500ms);
    const mqtt::Stats away = p.stats();
    EXPECT_EQ(away.delivered, 100u);
    EXPECT_GT(away.on_disk, 0u);
    broker.start();
    until_second(60);
    const mqtt::FinishReport rep = p.finish(15s);
    EXPECT_EQ(rep.delivered, static_cast<std::uint64_t>(N));
    EXPECT_EQ(rep.dropped + rep.unsent + rep.spooled, 0u);
    EXPECT_EQ(p.stats().resent, c.in_flight);  // the window the frozen broker took, again
    const std::vector<mqtt::Event> ev = p.take_events();  // what the program words
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev[0].kind, mqtt::EventKind::connected);
    EXPECT_EQ(ev[1].kind, mqtt::EventKind::connection_lost);
    EXPECT_EQ(ev.back().kind, mqtt::EventKind::connected);
    EXPECT_EQ(ev[0].detail + "/" + ev.back().detail, "/again");
    ASSERT_TRUE(db.wait_for(N, "out/rx/800.5"));
    std::this_thread::sleep_for(200ms);
    Args want;
    for (int k = 0; k < N; ++k)
        want.push_back(record(k));
    EXPECT_EQ(db.payloads("out/rx/800.5"), want);  // once each, in order
}

// Without a spool, a full queue lets its oldest records go: the newest
// queue_limit of them arrive once the broker is there, the rest are counted.
// A record that libmosquitto refuses (a wildcard in its topic) is dropped
// and said, and the records behind it still go.
TEST_F(MqttBroker, FullQueueWithoutSpoolDropsTheOldest) {
    Broker broker(dir("broker"));
    broker.start();
    Subscriber db(broker, "db-full", "full/#");
    broker.stop();
    mqtt::Publisher::Started s =
        mqtt::Publisher::start({.endpoint = *mqtt::parse_url(broker.url("/full")).endpoint,
                                .station = "rx",
                                .queue_limit = 5,
                                .in_flight = 2,
                                .retry_min = 100ms,
                                .retry_max = 200ms});
    ASSERT_TRUE(s.publisher) << s.error;
    for (int i = 0; i < 12; ++i)
        s.publisher->publish(i == 9 ? "8+0" : "800", std::to_string(i));
    EXPECT_EQ(s.publisher->stats().in_memory, 5u);
    broker.start();
    const mqtt::FinishReport rep = s.publisher->finish(15s);
    EXPECT_EQ(std::tuple(rep.dropped, rep.delivered, rep.unsent), std::tuple(8u, 4u, 0u));
    const std::vector<mqtt::Event> ev = s.publisher->take_events();
    EXPECT_TRUE(std::any_of(ev.begin(), ev.end(), [](const mqtt::Event& e) {
        return e.kind == mqtt::EventKind::record_refused && e.detail.starts_with("'full/rx/8+0': ");
    }));
    ASSERT_TRUE(db.wait_for(4, "full/rx/800"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(db.payloads("full/rx/800"), (Args{"7", "8", "10", "11"}));
}

// A broker that is not there, refuses the credentials, or shows a
// certificate of another CA: the normal output as without --mqtt, one line
// on why, one on what was lost (or kept), and status 3 when lost. The right
// credentials and CA: delivered (else "lost" and 3), nothing said.
TEST_F(MqttBroker, FailuresTakeOneLineAndLeaveTheOutputAlone) {
    const std::string d = dir("keys"), wav = recording(1, "OZ7IGY/B", 30);
    const std::string cert =
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
        " -nodes -days 2 -addext subjectAltName=IP:127.0.0.1 -subj /CN=";
    const RunResult keys = run(
        {"/bin/sh", "-c",
         "cd " + d + cert + "a -keyout srv.key -out srv.crt" + cert +
             "b -keyout other.key -out other.crt" + " && mosquitto_passwd -b -c passwd rx1 right" +
             " && printf 'user=rx1\\npassword=wrong\\n' > auth && chmod 600 auth"},
        "", false);
    ASSERT_EQ(keys.status, 0) << keys.err;
    const std::string tls = "cafile " + d + "/srv.crt\ncertfile " + d + "/srv.crt\nkeyfile " + d +
                            "/srv.key\nallow_anonymous true\n";
    const std::string auth = "allow_anonymous false\npassword_file " + d + "/passwd\n";
    const Args env = {"/usr/bin/env", "BEACON_MQTT_USER=rx1", "BEACON_MQTT_PASSWORD=right"};
    struct Case {
        Args program;
        std::string broker;  // its configuration; empty: none there
        Args args;
        std::string why;  // empty: delivered
        int status;
    } cases[] = {
        {{MON}, "", {}, "cannot connect: Connection refused", 3},
        {{SCAN},
         auth,
         {"--mqtt-auth", d + "/auth"},
         "cannot connect: the broker refused the connection: not authorised",
         3},
        {env + Args{SCAN}, auth, {}, "", 0},
        {{SCAN},
         tls,
         {"--mqtt-ca", d + "/other.crt"},
         "cannot connect: TLS handshake failed: certificate verify failed",
         3},
        {{MON}, tls, {"--mqtt-ca", d + "/srv.crt"}, "", 0},
        {{SCAN}, "", {"--mqtt-spool", dir("spool")}, "cannot connect: Connection refused", 0},
    };
    std::map<std::string, std::string> plain;  // each program's output without --mqtt
    for (Case& c : cases) {
        Broker broker(dir("b" + std::to_string(&c - cases)),
                      c.broker.empty() ? "allow_anonymous true\n" : c.broker);
        if (!c.broker.empty()) broker.start();
        const std::string url = (c.broker == tls ? "mqtts" : "mqtt") + broker.url().substr(4);
        const Args args = c.program + Args{"-q", wav};
        if (!plain.count(c.program.back())) plain[c.program.back()] = run(args).out;
        const RunResult r =
            run(args + c.args + Args{"--mqtt", url, "--station", "rx", "--mqtt-linger", "1"});
        SCOPED_TRACE(url + " " + c.why);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, plain[c.program.back()]);
        const std::string head =
            c.program.back().substr(c.program.back().rfind('/') + 1) + ": " + url + ": ";
        const std::string left = c.status == 3 || c.why.empty()
                                     ? "1 record not delivered, lost"
                                     : "1 record not delivered, kept in the spool " + c.args.back();
        EXPECT_EQ(r.err, c.why.empty() ? "" : head + c.why + "\n" + head + left + "\n");
        if (c.why.empty() || c.status == 3) continue;
        // The broker back: the next run sends the kept record first.
        broker.start();
        Subscriber db(broker, "db-late", "rx/800");
        const RunResult next = run(args + c.args + Args{"--mqtt", url, "--station", "rx"});
        EXPECT_EQ(next.err, "");
        ASSERT_TRUE(db.wait_for(2));
        const std::string record = lines(run({SCAN, "--format", "jsonl", wav}).out).at(0);
        EXPECT_EQ(db.payloads("rx/800"), (Args{record, record}));
    }
}

// Online while a program runs; SIGTERM ends it cleanly (offline, and the
// program's own status for it); SIGKILL leaves the broker's last will, which
// stays retained for those who subscribe later.
TEST_F(MqttBroker, StatusTopicAndLastWill) {
    Broker broker(dir("broker"));
    broker.start();
    const std::string topic = "st/rx9/status";
    Subscriber db(broker, "db-status", topic);
    const Args mqtt = {"--mqtt", broker.url("/st"), "--station", "rx9"};
    const std::pair<Args, int> runs[] = {
        {{SCAN, "-q", "-"}, 128 + SIGTERM},
        {{MON, "-q", "--raw", "s16le", "-r", "12000"}, 0},
    };
    std::size_t n = 0;
    for (const auto& [args, status] : runs) {
        Spawned w(args + mqtt, tmp_.file("out"));
        ASSERT_TRUE(db.wait_for(++n));
        EXPECT_EQ(w.end(SIGTERM), status) << args[0];
        ASSERT_TRUE(db.wait_for(++n));
    }
    Spawned w(runs[1].first + mqtt, tmp_.file("out"));
    ASSERT_TRUE(db.wait_for(++n));
    EXPECT_EQ(w.end(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(db.wait_for(++n));
    EXPECT_EQ(db.payloads(topic),
              (Args{"online", "offline", "online", "offline", "online", "offline"}));
    Subscriber later(broker, "db-later", topic);
    ASSERT_TRUE(later.wait_for(1));
    EXPECT_EQ(later.messages().at(0), "1 " + topic + " offline");
}

}  // namespace
}  // namespace beacon::test
