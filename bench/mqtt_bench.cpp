// Throughput of records to a broker: N records of beaconscan's JSON Lines
// form handed to a Publisher as fast as the caller can, timed until the
// broker has acknowledged the last one; and what publish() costs the caller.
//
//   mqtt_bench URL [RECORDS [IN_FLIGHT]]      (bench/mqtt_bench.sh runs it)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "mqtt/mqtt.hpp"

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    if (argc < 2) {
        std::fprintf(stderr, "usage: mqtt_bench URL [RECORDS [IN_FLIGHT]]\n");
        return 2;
    }
    const long n = argc > 2 ? std::atol(argv[2]) : 100000;
    beacon::mqtt::PublisherConfig c;
    const auto url = beacon::mqtt::parse_url(argv[1]);
    if (!url.endpoint) {
        std::fprintf(stderr, "mqtt_bench: %s\n", url.error.c_str());
        return 2;
    }
    c.endpoint = *url.endpoint;
    c.station = "bench";
    c.queue_limit = static_cast<std::size_t>(n) + 1;  // nothing dropped
    if (argc > 3) c.in_flight = static_cast<std::size_t>(std::atol(argv[3]));
    auto started = beacon::mqtt::Publisher::start(c);
    if (!started.publisher) {
        std::fprintf(stderr, "mqtt_bench: %s\n", started.error.c_str());
        return 1;
    }
    auto& p = *started.publisher;
    while (!p.stats().connected)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const std::string record =
        R"({"file":"rec/20261206_120000.wav","status":"spot","utc":"2026-12-06T12:00:01.000Z",)"
        R"("snr_db":-15.824233749757429,"dt_s":1.0,"freq_hz":799.8046875,"message":"OZ7IGY/B",)"
        R"("fano_metric":2444,"ccfpeak":61768.465066317076,"flip":1})";
    const auto t0 = Clock::now();
    for (long i = 0; i < n; ++i)
        p.publish("800", record);
    const auto t1 = Clock::now();
    while (p.stats().delivered < static_cast<std::uint64_t>(n))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto t2 = Clock::now();
    const auto report = p.finish(std::chrono::seconds(5));
    const double call_s = std::chrono::duration<double>(t1 - t0).count();
    const double all_s = std::chrono::duration<double>(t2 - t0).count();
    // CPU time of this process (both threads): what the records cost here,
    // whatever else the machine is doing.
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    std::printf(
        "%ld records of %zu bytes, %zu in flight: publish() %.2f us each; "
        "all acknowledged after %.3f s: %.0f records/s (%.2f MB/s of payload); "
        "CPU %.2f s, %.1f us per record\n",
        n, record.size(), c.in_flight, call_s / static_cast<double>(n) * 1e6, all_s,
        static_cast<double>(n) / all_s,
        static_cast<double>(n) * static_cast<double>(record.size()) / all_s / 1e6, cpu_s,
        cpu_s / static_cast<double>(n) * 1e6);
    return report.delivered == static_cast<std::uint64_t>(n) ? 0 : 1;
}
