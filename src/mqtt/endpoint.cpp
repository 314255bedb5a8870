// URLs, credentials and topic names.
#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "mqtt/mqtt.hpp"

namespace beacon::mqtt {
namespace {

constexpr int PLAIN_PORT = 1883;
constexpr int TLS_PORT = 8883;
// A credentials file is small; anything larger is not one.
constexpr std::size_t MAX_CREDENTIALS_BYTES = 64 * 1024;

bool starts_with(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

// The characters a topic name may not hold here: the wildcards, and control
// characters (which no one means to send and which break log lines).
std::string topic_text_error(std::string_view text) {
    for (char c : text) {
        if (c == '+' || c == '#') return std::string("holds '") + c + "', a wildcard";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "holds a control character";
    }
    // libmosquitto's check reads up to two bytes past a sequence cut short at
    // the end, so it gets a copy whose terminating NUL stops it there (and
    // its answer no longer depends on whatever follows the view).
    const std::string copy(text);
    if (mosquitto_validate_utf8(copy.c_str(), static_cast<int>(copy.size())) != MOSQ_ERR_SUCCESS)
        return "is not valid UTF-8";
    return {};
}

}  // namespace

std::string Endpoint::url() const {
    const bool v6 = host.find(':') != std::string::npos;
    std::string u = tls ? "mqtts://" : "mqtt://";
    u += v6 ? "[" + host + "]" : host;
    u += ":" + std::to_string(port);
    if (!prefix.empty()) u += "/" + prefix;
    return u;
}

UrlResult parse_url(std::string_view text) {
    UrlResult r;
    auto fail = [&](const std::string& why) {
        r.error = "'" + std::string(text) + "': " + why;
        return r;
    };
    Endpoint e;
    std::string_view rest;
    if (starts_with(text, "mqtt://")) {
        rest = text.substr(7);
    } else if (starts_with(text, "mqtts://")) {
        e.tls = true;
        rest = text.substr(8);
    } else {
        return fail("not an mqtt:// or mqtts:// URL");
    }
    e.port = e.tls ? TLS_PORT : PLAIN_PORT;
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
    if (authority.find('@') != std::string_view::npos)
        return fail(
            "a user or password does not belong in the URL (it would show in the process "
            "list); use --mqtt-auth FILE or BEACON_MQTT_USER and BEACON_MQTT_PASSWORD");
    std::string_view port_text;
    if (starts_with(authority, "[")) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return fail("'[' without ']' around the address");
        e.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return fail("unexpected text after ']'");
            port_text = after.substr(1);
            if (port_text.empty()) return fail("no port after ':'");
        }
    } else {
        const std::size_t colon = authority.find(':');
        e.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = authority.substr(colon + 1);
            if (port_text.empty()) return fail("no port after ':'");
        }
    }
    if (e.host.empty()) return fail("no host name");
    for (char c : e.host)
        if (static_cast<unsigned char>(c) <= 0x20 || c == '/' || c == '[' || c == ']')
            return fail("not a host name");
    if (!port_text.empty()) {
        int port = 0;
        const auto [end, ec] =
            std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
        if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 1 ||
            port > 65535)
            return fail("the port must be a number from 1 to 65535");
        e.port = port;
    }
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    if (const std::string why = topic_text_error(path); !why.empty())
        return fail("the topic prefix " + why);
    e.prefix = std::string(path);
    r.endpoint = e;
    return r;
}

CredentialsResult read_credentials_file(const std::string& path) {
    CredentialsResult r;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        r.error = path + ": " + std::strerror(errno);
        return r;
    }
    std::string text;
    struct stat st {};
    bool read_ok = ::fstat(fd, &st) == 0;
    if (read_ok && S_ISREG(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0 &&
        static_cast<std::size_t>(st.st_size) <= MAX_CREDENTIALS_BYTES) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) read_ok = false;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
    }
    const int saved = errno;
    ::close(fd);
    if (!read_ok) {
        r.error = path + ": " + std::strerror(saved);
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        r.error = path + ": not a regular file";
        return r;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        r.error = path + ": others than its owner may use it (mode " + mode +
                  "); refused, make it chmod 600";
        return r;
    }
    if (static_cast<std::size_t>(st.st_size) > MAX_CREDENTIALS_BYTES) {
        r.error = path + ": too large for a credentials file";
        return r;
    }
    Credentials c;
    bool has_user = false, has_password = false;
    std::size_t line_no = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const std::size_t eq = line.find('=');
        const std::string_view key = line.substr(0, eq);
        if (eq == std::string_view::npos || (key != "user" && key != "password")) {
            r.error = path + ": line " + std::to_string(line_no) +
                      ": expected user=NAME or password=SECRET";
            return r;
        }
        (key == "user" ? c.user : c.password) = std::string(line.substr(eq + 1));
        (key == "user" ? has_user : has_password) = true;
    }
    if (!has_user) {
        r.error = path + ": no user=NAME line";
        return r;
    }
    (void)has_password;  // a user without a password is valid MQTT
    r.credentials = c;
    return r;
}

CredentialsResult credentials_from_environment(const char* user, const char* password) {
    CredentialsResult r;
    if (user == nullptr && password == nullptr) return r;
    if (user == nullptr || *user == '\0') {
        r.error = "BEACON_MQTT_PASSWORD is set but BEACON_MQTT_USER is not";
        return r;
    }
    r.credentials = Credentials{user, password != nullptr ? password : ""};
    return r;
}

std::string topic_level_error(std::string_view text) {
    if (text.empty()) return "is empty";
    if (text.find('/') != std::string_view::npos) return "holds '/'";
    return topic_text_error(text);
}

std::string freq_level(double hz) {
    char buf[512];  // the longest fixed form of a double is 300-odd digits
    const auto r = std::to_chars(buf, buf + sizeof buf, hz, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

std::string record_topic(const Endpoint& endpoint, std::string_view station,
                         std::string_view level) {
    std::string t = endpoint.prefix;
    if (!t.empty()) t += '/';
    t += station;
    t += '/';
    t += level;
    return t;
}

std::string status_topic(const Endpoint& endpoint, std::string_view station) {
    return record_topic(endpoint, station, "status");
}

}  // namespace beacon::mqtt
