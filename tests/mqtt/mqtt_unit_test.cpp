// The MQTT pieces that need no broker: URLs, credentials files, and the
// spool's order across runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "mqtt/mqtt.hpp"
#include "mqtt/spool.hpp"
#include "support/support.hpp"

namespace beacon::mqtt {
namespace {

using test::TempDir;

TEST(MqttUrl, AcceptedRefusedAndReadBack) {
    // Each URL and the endpoint as url() words it, or why it is refused.
    const std::pair<const char*, const char*> cases[] = {
        {"mqtt://broker", "mqtt://broker:1883"},
        {"mqtts://broker.example.org", "mqtts://broker.example.org:8883"},
        {"mqtt://10.0.0.2:1884/beacons", "mqtt://10.0.0.2:1884/beacons"},
        {"mqtt://h//radio/pi4/", "mqtt://h:1883/radio/pi4"},
        {"mqtts://[::1]:8884/b", "mqtts://[::1]:8884/b"},
        {"http://h", "not an mqtt:// or mqtts:// URL"},
        {"mqtt://h/a/+/b", "the topic prefix holds '+', a wildcard"},
    };
    for (const auto& [text, want] : cases) {
        const UrlResult r = parse_url(text);
        if (std::string(want).rfind("mqtt", 0) != 0) {
            EXPECT_EQ(r.error, "'" + std::string(text) + "': " + want);
            EXPECT_FALSE(r.endpoint);
            continue;
        }
        ASSERT_TRUE(r.endpoint) << text << ": " << r.error;
        EXPECT_EQ(r.endpoint->url(), want);
        EXPECT_EQ(parse_url(want).endpoint->url(), want);  // a fixed point
    }
    EXPECT_NE(parse_url("mqtt://me:secret@h").error.find("--mqtt-auth"), std::string::npos);
    // A prefix cut short inside a UTF-8 sequence is refused, whatever bytes
    // follow the text (here the rest of the sequence).
    const std::string_view cut = std::string_view("mqtt://h/a\xee\x80\x80").substr(0, 11);
    EXPECT_EQ(parse_url(cut).error, "'mqtt://h/a\xee': the topic prefix is not valid UTF-8");
}

TEST(MqttCredentials, FileFormatPermissionsAndEnvironment) {
    TempDir dir;
    auto write = [&](const std::string& text, mode_t mode) {
        const std::string path = dir.file("auth");
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
        return read_credentials_file(path);
    };
    const CredentialsResult r = write("# club\n\nuser=rx1\r\npassword=pa ss=word \n", 0600);
    EXPECT_EQ(r.credentials->user + "|" + r.credentials->password, "rx1|pa ss=word ") << r.error;
    for (const mode_t mode : {0640, 0604, 0610})
        EXPECT_NE(write("user=a\n", mode).error.find("others than its owner may use it"),
                  std::string::npos);
    EXPECT_EQ(write("usr=a\n", 0600).error,
              dir.file("auth") + ": line 1: expected user=NAME or password=SECRET");
    EXPECT_EQ(write("password=b\n", 0400).error, dir.file("auth") + ": no user=NAME line");

    EXPECT_EQ(credentials_from_environment("u", nullptr).credentials->user, "u");
    EXPECT_EQ(credentials_from_environment(nullptr, "p").error,
              "BEACON_MQTT_PASSWORD is set but BEACON_MQTT_USER is not");
}

Message numbered(int i) {
    return {"t/" + std::to_string(i % 3), "record " + std::to_string(i) + std::string("\n\0 x", 4)};
}

// Records come back in the order they went in, across segments, a reopening
// (the next run) and records put back in front at the end of a run; a
// record cut short by a crash ends its segment and nothing before it is lost.
TEST(MqttSpool, OrderAcrossSegmentsRunsAndPutBack) {
    TempDir dir;
    const std::string root = dir.file("spool");
    auto range = [](int from, int to) {
        std::vector<Message> m;
        for (int i = from; i < to; ++i)
            m.push_back(numbered(i));
        return m;
    };
    std::size_t written = 0;
    {
        Spool::Opened o = Spool::open(root, "ep");
        ASSERT_TRUE(o.spool) << o.error;
        EXPECT_NE(Spool::open(root, "ep").error.find("in use by another process"),
                  std::string::npos);
        ASSERT_EQ(o.spool->append(range(10, 17), 3, written), "");
        EXPECT_EQ(written, 7u);
        // 10..12 loaded beside 0..9 that never left memory; 10 and 11 are
        // delivered, the rest goes back in front.
        Spool::Segment s = o.spool->load();
        ASSERT_EQ(s.messages.size(), 3u);
        ASSERT_EQ(o.spool->append(range(17, 19), 3, written), "");
        std::vector<Message> left = range(0, 10);
        left.push_back(s.messages[2]);
        ASSERT_EQ(o.spool->put_back(left), "");
        EXPECT_EQ(o.spool->waiting(), 17u);  // 13..18 on disk, 11 put back
    }
    Spool::Opened o = Spool::open(root, "ep");
    ASSERT_TRUE(o.spool) << o.error;
    std::vector<std::string> got, want;
    while (o.spool->waiting() > 0) {
        const Spool::Segment s = o.spool->load();
        EXPECT_EQ(s.error, "");
        for (const Message& m : s.messages)
            got.push_back(m.topic + "|" + m.payload);
        o.spool->release(s.number);
    }
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 13, 14, 15, 16, 17, 18})
        want.push_back(numbered(i).topic + "|" + numbered(i).payload);
    EXPECT_EQ(got, want);

    ASSERT_EQ(o.spool->append(range(0, 2), 10, written), "");
    o.spool.reset();
    for (const auto& e : std::filesystem::directory_iterator(root + "/ep"))
        if (e.path().extension() == ".spool") std::ofstream(e.path(), std::ios::app) << "5 9\nt/";
    o = Spool::open(root, "ep");
    const Spool::Segment s = o.spool->load();
    EXPECT_EQ(s.messages.size(), 2u);
    EXPECT_NE(s.error.find("damaged after 2 records"), std::string::npos) << s.error;
}

}  // namespace
}  // namespace beacon::mqtt
