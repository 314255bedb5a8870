// Averaging of minutes over synthesised minutes, as beaconmon does it: each
// minute's span (2 s before the minute to 26.6 s after, -f 800 -t 150) is
// decoded alone, its trace kept, and the averager given both. Prints, per
// run, how many minutes (after the first N) carried the right message alone
// and with averaging, the wrong messages, and the CPU time per minute of
// the single decode and of what averaging adds. With --dump, one line per
// minute with the measures the acceptance rule looks at.
#include <time.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/averaging.hpp"
#include "decoder/decoder.hpp"
#include "pi4/frame.hpp"
#include "sim/simulate.hpp"

using namespace beacon;

namespace {

double cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec * 1e-6;
}

std::string display_of(const std::string& text) {
    const std::string sent = sim::sent_message(text);
    char d[PI4_MESSAGE_LENGTH + 1];
    make_display_text(sent.c_str(), d);
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Averaging of minutes over synthesised minutes");
    double snr = -29.0, drift = 0.0, jitter_ms = 0.0, late = 0.0;
    int minutes = 60, average = 10, off_from = -1, off_to = -1, change_at = -1;
    bool noise_only = false, dump = false, accept_all = false;
    std::vector<int> only;
    std::uint64_t seed = 1;
    std::string message = "OZ7IGY/B", message2 = "PA3ABC";
    app.add_option("--snr", snr);
    app.add_option("--minutes", minutes);
    app.add_option("--average", average);
    app.add_option("--drift", drift, "Hz per minute");
    app.add_option("--jitter-ms", jitter_ms, "frame start uniform in +/- this");
    app.add_option("--late", late, "frame start after the minute, s");
    app.add_option("--off", off_from, "first minute with the beacon off");
    app.add_option("--off-to", off_to, "first minute with it on again");
    app.add_option("--change-at", change_at, "first minute of the second message");
    app.add_option("--message", message);
    app.add_option("--message2", message2);
    app.add_option("--seed", seed);
    app.add_flag("--noise-only", noise_only);
    app.add_option("--only", only, "decode only these minutes (the others are drawn, not made)");
    app.add_flag("--dump", dump, "a line per minute");
    app.add_flag("--accept-all", accept_all, "report every combined decode (for the rule)");
    CLI11_PARSE(app, argc, argv);

    constexpr double S = 2.0;  // beaconmon's default window
    const double span_s = 2 * S + 24.6;
    const auto n = static_cast<std::size_t>(sim::sample_count(span_s, PI4_SAMPLE_RATE));
    AverageSettings as;
    as.max_minutes = average;
    as.accept_all = accept_all;
    Averager avg(as);
    sim::Noise rng(seed);
    // Without averaging (--average 1: every decode alone as it comes) and
    // with it (decodes alone that pass the rule, and combined ones).
    int counted = 0, single_ok = 0, single_wrong = 0, total_ok = 0, wrong = 0, combined = 0;
    double cpu_alone = 0, cpu_avg = 0;
    std::vector<double> x(n);
    int decoded_minutes = 0;
    for (int m = 0; m < minutes; ++m) {
        const bool off = noise_only || (m >= off_from && m < off_to);
        const std::string& text = change_at >= 0 && m >= change_at ? message2 : message;
        sim::SimSettings s;
        s.message = text;
        s.id = "OZ7IGY";
        s.carrier_hz = 800.0 + drift * m;
        s.drift_hz_per_min = drift;
        s.start_s = S + late + (2 * rng.uniform() - 1) * jitter_ms * 1e-3;
        s.duration_s = span_s;
        s.snr_db = snr;
        s.seed = static_cast<std::uint64_t>(rng.uniform() * 9e15);
        if (!only.empty() && std::find(only.begin(), only.end(), m) == only.end()) continue;
        sim::Levels lv = sim::levels(s);
        if (off) lv.amplitude = 0.0;
        sim::Renderer(sim::make_transmitter(s), PI4_SAMPLE_RATE, lv, s.seed).next(x);

        ++decoded_minutes;
        double t0 = cpu_ms();
        const MinuteResult alone = minute_decode(x, 800.0, 150.0, 2 * S);
        double t1 = cpu_ms();
        AverageOutcome got;
        if (average > 1) {
            MinuteTrace trace = make_minute_trace(x, 800.0, 150.0, 2 * S, -S, m);
            got = avg.add(std::move(trace), alone);
        }
        double t2 = cpu_ms();
        cpu_alone += t1 - t0;
        cpu_avg += t2 - t1;

        const std::string want = off ? std::string("(off)") : display_of(text);
        const bool ok_alone = alone.status == MinuteStatus::decoded && !got.alone_rejected;
        const bool ok_comb = got.result.status == MinuteStatus::decoded;
        const std::string said = ok_alone ? alone.message : ok_comb ? got.result.message : "";
        if (dump)
            std::printf(
                "minute %d sent %s alone %s tried %d minutes %d attempts %d fano %lld "
                "total_z %.2f current_z %.2f same %d said %s snr %.1f alone_z %.2f rejected %d\n",
                m, want.c_str(),
                alone.status == MinuteStatus::decoded ? alone.message.c_str() : "-",
                got.tried ? 1 : 0, got.minutes, got.attempts,
                static_cast<long long>(got.result.fano_metric), got.total_z, got.current_z,
                got.same_as_last ? 1 : 0, said.empty() ? "-" : said.c_str(), got.result.snr_db,
                got.alone_z, got.alone_rejected ? 1 : 0);
        if (m < average) continue;
        ++counted;
        if (alone.status == MinuteStatus::decoded)
            (alone.message == want ? single_ok : single_wrong) += 1;
        if (said.empty()) continue;
        if (said != want) {
            ++wrong;
            continue;
        }
        combined += !ok_alone;
        ++total_ok;
    }
    std::printf(
        "snr %.1f drift %.2f jitter_ms %.0f minutes %d counted %d | without: rate %.3f wrong %d | "
        "average %d: rate %.3f (combined %d) wrong %d | cpu_ms_per_minute alone %.1f "
        "averaging %.1f\n",
        snr, drift, jitter_ms, minutes, counted, counted ? double(single_ok) / counted : 0.0,
        single_wrong, average, counted ? double(total_ok) / counted : 0.0, combined, wrong,
        cpu_alone / decoded_minutes, cpu_avg / decoded_minutes);
    return 0;
}
