// MQTT output as the programs offer it: the options (--mqtt URL, repeatable,
// --station, --mqtt-ca, --mqtt-auth, --mqtt-spool, --mqtt-linger) added to a
// CLI11 app, checked into publisher settings, and one publisher per URL whose
// events become the lines the program prints on standard error.
//
// A program adds the options with add_mqtt_options, calls check_mqtt_options
// after parsing (an error is a command-line error), starts an MqttOutput,
// hands it every record, prints what take_messages returns now and then, and
// at the end calls finish, which says whether records were lost.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/mqtt.hpp"

// CLI11 is heavy to compile: the programs' other files that see these
// options need only the name of its app.
namespace CLI {
class App;
}

namespace beacon {

// The exit status of a run that lost records meant for a broker.
inline constexpr int MQTT_LOST_STATUS = 3;

struct MqttOptions {
    std::vector<std::string> urls;
    std::string station;  // empty: the host name
    std::string ca_file;
    std::string auth_file;
    std::string spool_dir;
    double linger_s = 5.0;
};

// Adds the options, in a group of their own in --help.
void add_mqtt_options(CLI::App& app, MqttOptions& options);

struct MqttSetup {
    std::vector<mqtt::PublisherConfig> publishers;  // one per URL; none without --mqtt
    std::string error;  // why the options cannot be used (a line without the program's name)
};

// Checks the options and reads the credentials: from --mqtt-auth, else from
// the values of BEACON_MQTT_USER and BEACON_MQTT_PASSWORD (null when unset).
// Options other than --mqtt are refused without --mqtt.
MqttSetup check_mqtt_options(const MqttOptions& options, const char* env_user,
                             const char* env_password);

class MqttOutput {
  public:
    explicit MqttOutput(std::string program) : program_(std::move(program)) {}

    // Starts a publisher for each; returns why one could not start (a line
    // without the program's name), or empty.
    std::string start(const std::vector<mqtt::PublisherConfig>& publishers, double linger_s);
    bool active() const { return !publishers_.empty(); }

    // One record to every broker, at PREFIX/STATION/FREQ.
    void publish(double freq_hz, std::string payload);
    // Each line of `jsonl` (JSON Lines, every line ending in "\n") as a record.
    void publish_lines(double freq_hz, std::string_view jsonl);

    // Lines to print on standard error about what happened since the last
    // call, each "PROGRAM: URL: ...\n".
    std::vector<std::string> take_messages();

    struct Finished {
        std::vector<std::string> messages;  // the last events, then what was left undelivered
        bool lost = false;                  // records were dropped or are lost
    };
    // Sends what is queued for up to the linger time (all brokers at once).
    Finished finish();

  private:
    void add_messages(mqtt::Publisher& p, std::vector<std::string>& out);

    std::string program_;
    std::chrono::milliseconds linger_{0};
    std::vector<std::unique_ptr<mqtt::Publisher>> publishers_;
};

}  // namespace beacon
