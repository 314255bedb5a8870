// Accuracy and cost of the carrier measurement over many synthesised
// minutes: per SNR, minutes with a frame, the Morse ID and the carrier at a
// random frequency and phase (and optionally a random drift), then noise
// alone. Prints one table row per SNR: detection rate, RMS error against the
// Cramer-Rao bound, bias, the reported sigma against the observed RMS, the
// SNR error, the errors of the segment's ends and the CPU time per minute.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "carrier/carrier.hpp"
#include "sim/simulate.hpp"

namespace {

using namespace beacon;

double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

struct Options {
    int minutes = 200;
    int noise_minutes = 1000;
    double snr_from = -35, snr_to = 10, snr_step = 5;
    double drift = 0;    // largest |drift|, Hz per minute; each minute draws one
    double band = 150;   // search band: 800 +/- band
    bool frame = false;  // search centred on a decoded frame's carrier instead
    std::string id = "OZ7IGY";
    std::uint64_t seed = 1;
    std::string dump;  // one line per minute, for a closer look
};

struct Truth {
    double f0, drift_per_s, ref, start, end;
    double freq_over(double a, double b) const { return f0 + drift_per_s * (0.5 * (a + b) - ref); }
};

// One minute as beaconmon holds it: sample 0 at the minute, the frame near
// its start, the carrier until 1 s before the next minute.
std::vector<float> make_minute(const Options& o, double snr, sim::Noise& rng, Truth& truth) {
    sim::SimSettings s;
    s.message = "OZ7IGY/B";
    s.id = o.id;
    s.carrier_hz = 800 + (2 * rng.uniform() - 1) * std::min(100.0, 0.6 * o.band);
    // The phase is 0 at the frame's start: a start anywhere in a cycle gives
    // a random phase.
    s.start_s = rng.uniform() / s.carrier_hz;
    s.drift_hz_per_min = (2 * rng.uniform() - 1) * o.drift;
    s.duration_s = 60.0;
    s.snr_db = snr;
    s.seed = static_cast<std::uint64_t>(rng.uniform() * 9e15);
    const double frame_end = s.start_s + PI4_NSYM * static_cast<double>(PI4_NSPS) / PI4_SAMPLE_RATE;
    truth = {s.carrier_hz, s.drift_hz_per_min / 60.0, s.start_s,
             frame_end + sim::morse_duration(s.id, sim::ID_WPM) + 3 * 1.2 / sim::ID_WPM,
             s.start_s + s.period_s - sim::ID_QUIET_S};
    std::vector<double> x(static_cast<std::size_t>(sim::sample_count(60.0, PI4_SAMPLE_RATE)));
    sim::Renderer(sim::make_transmitter(s), PI4_SAMPLE_RATE, sim::levels(s), s.seed).next(x);
    return {x.begin(), x.end()};
}

double rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v)
        s += x * x;
    return v.empty() ? NAN : std::sqrt(s / v.size());
}
double mean(const std::vector<double>& v) {
    double s = 0;
    for (double x : v)
        s += x;
    return v.empty() ? NAN : s / v.size();
}
double quantile_abs(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    for (double& x : v)
        x = std::abs(x);
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Carrier measurement sweep over synthesised minutes"};
    app.add_option("--minutes", o.minutes, "minutes per SNR");
    app.add_option("--noise-minutes", o.noise_minutes, "minutes of noise alone");
    app.add_option("--snr-from", o.snr_from);
    app.add_option("--snr-to", o.snr_to);
    app.add_option("--snr-step", o.snr_step);
    app.add_option("--drift", o.drift, "largest drift, Hz per minute (uniform in +/-)");
    app.add_option("--band", o.band, "search half width around 800 Hz");
    app.add_flag("--frame", o.frame,
                 "centre the search on the frame's carrier (the truth +/- 0.73 Hz)");
    app.add_option("--id", o.id, "call sign sent in Morse");
    app.add_option("--seed", o.seed);
    app.add_option("--dump", o.dump, "file for one line per minute");
    CLI11_PARSE(app, argc, argv);

    FILE* dump = o.dump.empty() ? nullptr : std::fopen(o.dump.c_str(), "w");
    CarrierMeter meter;
    CarrierSearch search;
    search.f_lo_hz = 800 - o.band;
    search.f_hi_hz = 800 + o.band;
    sim::Noise rng(o.seed);
    double cpu_total = 0;
    int cpu_count = 0;

    std::printf("# carrier_sweep: %d minutes per SNR, search %s, id %s, drift up to %g Hz/min\n",
                o.minutes,
                o.frame ? "frame carrier +/- 3 Hz"
                        : ("800 +/- " + std::to_string(static_cast<int>(o.band)) + " Hz").c_str(),
                o.id.c_str(), o.drift);
    std::printf(
        "# det%%: minutes with a carrier reported; wrong%%: reported more than 10 CRB off\n"
        "# (a noise peak), left out of the rest. Frequency error against the true mean over\n"
        "# the reported segment; crb for the true SNR and segment; sigma: mean reported\n"
        "# sigma_hz; snr_bias and snr_rms in dB; start95, end95: 95th percentile of |error|\n"
        "# of the segment's ends, s; in0.2s%%: starts within 0.2 s of the end of the keying.\n");
    std::printf("%5s %6s %6s %8s %8s %7s %8s %8s %7s %8s %7s %7s %7s %7s\n", "snr", "det%",
                "wrong%", "rms_mHz", "crb_mHz", "rms/crb", "bias_mHz", "sig_mHz", "sig/rms",
                "snr_bias", "snr_rms", "start95", "in0.2s%", "end95");
    for (double snr = o.snr_from; o.minutes > 0 && snr <= o.snr_to + 1e-9; snr += o.snr_step) {
        std::vector<double> ferr, snrerr, serr, eerr, sig;
        double crb = 0;
        int found = 0, wrong = 0;
        for (int m = 0; m < o.minutes; ++m) {
            Truth t{};
            const std::vector<float> x = make_minute(o, snr, rng, t);
            // The sync search's frequency is a multiple of 12000 / 8192 Hz.
            if (o.frame) search.frame_carrier_hz = t.f0 + (2 * rng.uniform() - 1) * 0.73;
            const double c0 = cpu_ms();
            const CarrierMeasurement r = meter.measure(x, 0.0, search);
            cpu_total += cpu_ms() - c0;
            ++cpu_count;
            crb += carrier_crb_hz(snr, t.end - t.start);
            if (dump)
                std::fprintf(
                    dump,
                    "%g %d %d %.6f %.6f %.3f %.3f %.3f %.3f %.3f %.6f %.3f %.3f %d %.2f %.2f\n",
                    snr, m, r.found(), r.freq_hz, t.freq_over(r.start_s, r.end_s), r.snr_db,
                    r.start_s, t.start, r.end_s, t.end, r.sigma_hz, r.drift_hz_per_min,
                    t.drift_per_s * 60, r.keying_seen, r.detection, r.threshold);
            if (!r.found()) continue;
            ++found;
            const double err = r.freq_hz - t.freq_over(r.start_s, r.end_s);
            // A noise peak taken for the carrier: counted apart, not in the RMS.
            if (std::abs(err) > 10 * carrier_crb_hz(snr, t.end - t.start)) {
                ++wrong;
                continue;
            }
            ferr.push_back(err);
            snrerr.push_back(r.snr_db - snr);
            serr.push_back(r.start_s - t.start);
            eerr.push_back(r.end_s - t.end);
            sig.push_back(r.sigma_hz);
        }
        crb /= o.minutes;
        const double e = rms(ferr);
        const int within = static_cast<int>(
            std::count_if(serr.begin(), serr.end(), [](double v) { return std::abs(v) <= 0.2; }));
        std::printf(
            "%5.0f %6.1f %6.1f %8.3f %8.3f %7.2f %8.3f %8.3f %7.2f %8.2f %7.2f %7.3f %7.1f %7.3f\n",
            snr, 100.0 * found / o.minutes, 100.0 * wrong / o.minutes, 1e3 * e, 1e3 * crb, e / crb,
            1e3 * mean(ferr), 1e3 * mean(sig), mean(sig) / e, mean(snrerr), rms(snrerr),
            quantile_abs(serr, 0.95), serr.empty() ? NAN : 100.0 * within / serr.size(),
            quantile_abs(eerr, 0.95));
        std::fflush(stdout);
    }

    int false_alarms = 0;
    double worst = 0;
    for (int m = 0; m < o.noise_minutes; ++m) {
        sim::SimSettings s;
        s.snr_db = 0;
        const sim::Levels lv{0.0, sim::levels(s).sigma};
        std::vector<double> x(static_cast<std::size_t>(sim::sample_count(60.0, PI4_SAMPLE_RATE)));
        sim::Renderer(sim::Transmitter(800.0), PI4_SAMPLE_RATE, lv,
                      static_cast<std::uint64_t>(rng.uniform() * 9e15))
            .next(x);
        const std::vector<float> f(x.begin(), x.end());
        if (o.frame) search.frame_carrier_hz = 800.0;
        const double c0 = cpu_ms();
        const CarrierMeasurement r = meter.measure(f, 0.0, search);
        cpu_total += cpu_ms() - c0;
        ++cpu_count;
        false_alarms += r.found();
        if (dump)
            std::fprintf(dump, "noise %d %d %.3f %.3f\n", m, r.found(), r.detection, r.threshold);
        worst = std::max(worst, r.detection / r.threshold);
    }
    if (o.noise_minutes > 0)
        std::printf(
            "noise alone: %d of %d minutes reported (%.2f%%); largest statistic %.2f of the "
            "threshold\n",
            false_alarms, o.noise_minutes, 100.0 * false_alarms / o.noise_minutes, worst);
    std::printf("cpu: %.2f ms per minute (mean over %d measurements)\n", cpu_total / cpu_count,
                cpu_count);
    if (dump) std::fclose(dump);
    return 0;
}
