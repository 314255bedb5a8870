// What the MQTT output reads from outside: a broker URL from the command
// line, and the spool's segment files, which a crash may have cut short or
// anyone may have edited. The first byte chooses.
//   0: the URL parser. An accepted URL has a host, a port in 1..65535 and a
//      prefix without slashes at its ends, and the URL it prints reads back
//      as the same endpoint.
//   1: a segment file in a fresh spool. Opening counts its records; loading
//      gives exactly that many, each whole.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.hpp"
#include "mqtt/mqtt.hpp"
#include "mqtt/spool.hpp"

using namespace beacon;
using namespace beacon::mqtt;

namespace {

void url(std::string_view text) {
    const UrlResult r = parse_url(text);
    if (!r.endpoint) {
        FUZZ_CHECK(!r.error.empty());
        return;
    }
    const Endpoint& e = *r.endpoint;
    FUZZ_CHECK(!e.host.empty());
    FUZZ_CHECK(e.port >= 1 && e.port <= 65535);
    FUZZ_CHECK(e.prefix.empty() || (e.prefix.front() != '/' && e.prefix.back() != '/'));
    const UrlResult again = parse_url(e.url());
    FUZZ_CHECK(again.endpoint);
    FUZZ_CHECK(again.endpoint->tls == e.tls && again.endpoint->host == e.host &&
               again.endpoint->port == e.port && again.endpoint->prefix == e.prefix);
}

void segment(std::string_view bytes) {
    static const std::string root = [] {
        char tmpl[] = "/tmp/fuzz-spool.XXXXXX";
        const char* d = mkdtemp(tmpl);
        if (d == nullptr) std::abort();
        return std::string(d);
    }();
    const std::filesystem::path dir = std::filesystem::path(root) / "s";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "00000001000000000000.spool", std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    Spool::Opened o = Spool::open(root, "s");
    if (!o.spool) return;
    const std::uint64_t waiting = o.spool->waiting();
    std::uint64_t loaded = 0;
    while (o.spool->waiting() > 0) {
        const Spool::Segment s = o.spool->load();
        FUZZ_CHECK(!s.messages.empty() || !s.error.empty());
        loaded += s.messages.size();
        if (s.messages.empty()) break;
        o.spool->release(s.number);
    }
    FUZZ_CHECK(loaded == waiting);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        url(rest);
    else
        segment(rest);
    return 0;
}
