#include "beaconmon/monitor.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "beaconmon/minute_ring.hpp"
#include "beaconmon/ordered_pool.hpp"
#include "beaconmon/output.hpp"
#include "beaconmon/record.hpp"
#include "beaconmon/timeline.hpp"
#include "decoder/averaging.hpp"
#include "decoder/decoder.hpp"
#include "decoder/minute_decode.hpp"
#include "plot/plot.hpp"
#include "stream/stream.hpp"
#include "util/format.hpp"
#include "util/processors.hpp"
#include "util/utc_time.hpp"

namespace beacon::mon {
namespace {

constexpr std::size_t FILE_READ_FRAMES = 1 << 16;
// Live input is read in pieces of 50 ms, so a span is complete as soon as
// its last sample has come.
constexpr int LIVE_READS_PER_SECOND = 20;

struct Input {
    std::string path;              // "-" for standard input; empty with a device
    std::optional<UtcTime> start;  // from --start or the name
    bool live = false;             // not a regular file: arrives in real time
};

bool is_regular(const std::string& path) {
    struct stat st {};
    const int rc = path == "-" ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode);
}

UtcTime utc_now() {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    std::int64_t sec = ns / 1000000000;
    std::int64_t rem = ns % 1000000000;
    if (rem < 0) rem += 1000000000, --sec;
    return {sec, static_cast<double>(rem) * 1e-9};
}

// A minute's work as the workers get it, and what they give back.
struct Job {
    MinuteWork work;
    std::optional<std::int64_t> utc;
};
// A minute's records, one per -f; with averaging, what each -f keeps of
// the minute for combining; and why its waterfalls could not be written.
struct Records {
    std::vector<MinuteRecord> records;
    std::vector<MinuteTrace> traces;
    std::vector<std::string> picture_failures;
};

class Monitor {
  public:
    Monitor(const Options& o, Signals& s, std::FILE* err) : o_(o), signals_(s), err_(err) {}
    int run();

  private:
    std::optional<int> plan(std::vector<Input>& inputs);
    int read_input(const Input& in);
    void submit(MinuteWork&& w);
    void end_stretch();  // hands out its last minute, cut short
    Records decode(Job& job) const;
    void average(Records& records);
    bool emit(Records& records);
    void reopen_if_asked();  // with output_mutex_ held
    int fail(const std::string& why) {
        std::fprintf(err_, "beaconmon: %s\n", why.c_str());
        return 1;
    }
    void note(const std::string& what) {
        if (!o_.quiet) std::fprintf(err_, "beaconmon: %s\n", what.c_str());
    }
    std::string name_of(const Input& in) const { return in.path.empty() ? o_.device : in.path; }

    const Options& o_;
    Signals& signals_;
    std::FILE* err_;
    Output output_;
    MqttOutput mqtt_{"beaconmon"};  // every record also to the brokers, when active
    void print(const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            std::fputs(line.c_str(), err_);
    }
    std::mutex output_mutex_;
    WriteStatus write_status_ = WriteStatus::ok;
    std::unique_ptr<OrderedPool<Job, Records>> pool_;
    std::unique_ptr<MinuteCutter> cutter_;
    // The timeline: its origin (a whole minute, s since the epoch) when the
    // time is known, and where the last input ended.
    std::optional<std::int64_t> origin_;
    bool utc_known_ = false;
    std::optional<double> end_of_last_;  // s from the origin
    std::string last_name_;
    SampleMap map_;  // of the stretch being read
    bool in_stretch_ = false;
    int pictures_failed_ = 0;        // minutes whose waterfall could not be written
    bool pictures_failing_ = false;  // the last minute's could not
    // Per -f, the minutes held for combining. Used only by the in-order
    // stage (emit), which sees the minutes one at a time in minute order.
    std::vector<Averager> averagers_;
};

std::optional<int> Monitor::plan(std::vector<Input>& inputs) {
    if (!o_.device.empty()) {
        inputs.push_back({"", o_.start, true});
        return std::nullopt;
    }
    for (std::size_t i = 0; i < o_.inputs.size(); ++i) {
        Input in;
        in.path = o_.inputs[i];
        if (i == 0 && o_.start) {
            in.start = o_.start;
        } else if (in.path != "-") {
            if (auto s = start_time_from_path(in.path)) in.start = UtcTime{*s, 0.0};
        }
        in.live = !is_regular(in.path);
        if (o_.inputs.size() > 1 && !in.start) {
            std::fprintf(err_,
                         "beaconmon: '%s': no start time in its name, so it cannot be placed on "
                         "the timeline with the other inputs\n",
                         in.path.c_str());
            return 2;
        }
        inputs.push_back(std::move(in));
    }
    std::stable_sort(inputs.begin(), inputs.end(), [](const Input& a, const Input& b) {
        return a.start->sec + a.start->frac < b.start->sec + b.start->frac;
    });
    return std::nullopt;
}

// The carrier after the frame, searched over the record's band; once the
// frame has decoded, centred on its carrier and from its end. Otherwise the
// frame may start as late as the window allows, and its tones, which lie
// within the band, must be over before the span measured begins.
CarrierMeasurement measure(const MinuteWork& work, const MinuteRecord& r, double tol,
                           double window) {
    thread_local CarrierMeter meter;  // one per worker, its plans kept from minute to minute
    CarrierSearch search;
    search.f_lo_hz = r.freq_set_hz - tol;
    search.f_hi_hz = r.freq_set_hz + tol;
    search.seg_to_s = MINUTE_S;
    if (r.decoded()) {
        search.seg_from_s = r.dt_s() + search.seg_from_s;
        search.frame_carrier_hz = r.result.freq_hz;
    } else {
        search.seg_from_s += window;
    }
    try {
        return meter.measure(work.whole, work.whole_t0_s, search);
    } catch (const std::bad_alloc&) {
        return {};  // no memory for its buffers: no carrier to report
    }
}

// The waterfall's file: the minute's UTC time (20261207-1001.png) or its
// index (minute-000012.png), and the frequency when there are several.
std::string waterfall_path(const Options& o, const MinuteRecord& r) {
    std::string name;
    if (r.utc) {
        const std::string iso = format_utc_seconds(*r.utc * 1000);  // YYYY-MM-DDThh:mm:ssZ
        name = iso.substr(0, 4) + iso.substr(5, 2) + iso.substr(8, 2) + "-" + iso.substr(11, 2) +
               iso.substr(14, 2);
    } else {
        name = format("minute-%06ld", static_cast<long>(r.minute));
    }
    if (o.freqs.size() > 1) name += format("-%gHz", r.freq_set_hz);
    return o.waterfall + "/" + name + ".png";
}

// Draws the minute over the band the record searched, with the record on
// it and the decoded frame and the carrier marked. An empty string, or why
// the picture could not be written.
std::string draw_waterfall(const Options& o, const MinuteWork& work, const MinuteRecord& r) {
    plot::WaterfallContent content;
    std::tie(content.f_lo_hz, content.f_hi_hz) = plot::waterfall_band(r.freq_set_hz, o.tol);
    std::string when = format_record(Format::text, r);
    when.resize(r.utc ? 16 : when.find(' ', 7));  // the time column
    content.title = format("%s, %g Hz", when.c_str(), r.freq_set_hz);
    content.text =
        r.decoded() ? format("%s   SNR %.0f dB   DT %.1f s   DF %.0f Hz", r.result.message.c_str(),
                             r.result.snr_db, r.dt_s(), r.result.freq_hz)
                    : std::string("no decode");
    content.text += r.carrier_found() ? format("   carrier %.3f Hz, %.0f dB", r.carrier->freq_hz,
                                               r.carrier->snr_db)
                                      : std::string(r.carrier ? "   no carrier" : "");
    if (r.decoded()) content.frame = plot::FrameMark{r.dt_s(), r.result.freq_hz};
    if (r.carrier_found())
        content.carrier =
            plot::CarrierMark{r.carrier->start_s, r.carrier->end_s, r.carrier->freq_hz};
    const plot::PlotResult drawn =
        plot::render_waterfall(work.whole, work.whole_t0_s, content, waterfall_path(o, r));
    return drawn.ok() ? std::string() : drawn.detail;
}

Records Monitor::decode(Job& job) const {
    Records out;
    for (double f : o_.freqs) {
        MinuteRecord r;
        r.utc = job.utc;
        r.minute = job.work.index;
        r.input = job.work.input;
        r.freq_set_hz = f;
        r.result = minute_decode(job.work.samples, f, o_.tol, job.work.span.dtmax);
        r.c_minus_m = job.work.span.c_minus_m;
        // The expensive part of averaging, the minute's power spectra, is
        // computed here with the minute's decode, on the worker.
        if (o_.average > 1)
            out.traces.push_back(make_minute_trace(job.work.samples, f, o_.tol, job.work.span.dtmax,
                                                   r.c_minus_m, job.work.index));
        if (o_.carrier) r.carrier = measure(job.work, r, o_.tol, o_.window);
        if (!o_.waterfall.empty() && !job.work.whole.empty()) {
            std::string why = draw_waterfall(o_, job.work, r);
            if (!why.empty()) out.picture_failures.push_back(std::move(why));
        }
        out.records.push_back(std::move(r));
    }
    return out;
}

void Monitor::average(Records& records) {
    if (o_.average < 2) return;
    for (std::size_t i = 0; i < records.records.size(); ++i) {
        MinuteRecord& r = records.records[i];
        AverageOutcome got = averagers_[i].add(std::move(records.traces[i]), r.result);
        if (got.alone_rejected) r.result.status = MinuteStatus::no_message;
        if (got.result.status != MinuteStatus::decoded) continue;
        r.result = std::move(got.result);
        r.averaged = got.minutes;
    }
}

void Monitor::reopen_if_asked() {
    if (!signals_.reopen.exchange(false)) return;
    if (auto why = output_.reopen()) std::fprintf(err_, "beaconmon: %s\n", why->c_str());
}

bool Monitor::emit(Records& done) {
    average(done);
    const std::lock_guard lock(output_mutex_);
    reopen_if_asked();
    // A folder that has gone or is full: said once until pictures are
    // written again, and counted for the exit status.
    if (!done.picture_failures.empty()) {
        ++pictures_failed_;
        if (!pictures_failing_)
            std::fprintf(err_, "beaconmon: waterfall: %s\n", done.picture_failures.front().c_str());
    }
    pictures_failing_ = !done.picture_failures.empty();
    const bool averaging = o_.average > 1;
    for (const MinuteRecord& r : done.records) {
        if (mqtt_.active())
            mqtt_.publish_lines(r.freq_set_hz, format_record(Format::jsonl, r, averaging));
        if (o_.format == Format::text && !o_.all && !r.decoded() && !r.carrier_found()) continue;
        write_status_ = output_.write(format_record(o_.format, r, averaging));
        if (write_status_ != WriteStatus::ok) return false;
    }
    print(mqtt_.take_messages());
    return true;
}

int Monitor::read_input(const Input& in) {
    stream::Opened<stream::Reader> opened;
    if (!o_.device.empty())
        opened = stream::open_alsa(o_.device, o_.rate.value_or(RATE), o_.channels);
    else if (o_.raw)
        opened = stream::open_raw(in.path, *o_.raw, *o_.rate, o_.channels);
    else
        opened = stream::open_audio_file(in.path);
    if (opened.failure) return fail(opened.failure->text);
    stream::Reader& reader = *opened.reader;
    const int rate = reader.rate();
    if (rate < stream::MIN_INPUT_RATE || rate > stream::MAX_INPUT_RATE)
        return fail(format("'%s': %d Hz is outside 8000 to 192000 Hz", name_of(in).c_str(), rate));
    stream::Resampler resampler(rate);
    const std::string name = name_of(in).empty() ? "-" : name_of(in);

    // A file's samples lie where its start puts them; a live stream without
    // a start is placed by the system clock as it arrives.
    const bool by_clock = !in.start && in.live;
    std::optional<SampleClock> clock;
    if (in.start) {
        if (!origin_) origin_ = origin_of(*in.start);
        utc_known_ = true;
        const double start = seconds_after(*in.start, *origin_);
        if (end_of_last_ && start < *end_of_last_ - 0.5 / RATE)
            return fail(format("'%s' and '%s' overlap: '%s' starts %.3f s before '%s' ends",
                               last_name_.c_str(), name.c_str(), name.c_str(),
                               *end_of_last_ - start, last_name_.c_str()));
        if (end_of_last_ && start <= *end_of_last_ + 0.5 / RATE) {
            cutter_->rename(name);  // continues the stretch without a gap
        } else {
            end_stretch();
            map_ = SampleMap{start + resampler.delay_out() / RATE, 0, RATE};
            cutter_->begin_stretch(name, start);
            in_stretch_ = true;
        }
    } else if (!by_clock) {
        // Neither a start nor a clock: the first sample opens a minute.
        end_stretch();
        origin_ = 0;
        map_ = SampleMap{0.0, 0, RATE};
        cutter_->begin_stretch(name, 0.0);
        in_stretch_ = true;
    }

    const std::size_t read_frames =
        in.live ? static_cast<std::size_t>(std::max(1, rate / LIVE_READS_PER_SECOND))
                : FILE_READ_FRAMES;
    std::vector<double> buffer(read_frames), converted;
    std::int64_t frames = 0;
    bool warned_ahead = false;
    auto submit = [this](MinuteWork&& w) { this->submit(std::move(w)); };
    auto place = [&]() -> const SampleMap& {
        if (clock) map_ = clock->map(RATE, resampler.delay_out() * rate / RATE);
        return map_;
    };
    for (;;) {
        if (signals_.stop || pool_->stopped()) return 0;
        if (signals_.reopen) {
            const std::lock_guard lock(output_mutex_);
            reopen_if_asked();
        }
        const stream::ReadResult r = reader.read(buffer);
        if (r.status == stream::ReadStatus::interrupted) continue;
        if (r.status == stream::ReadStatus::error) return fail(r.error);
        converted.clear();
        std::optional<stream::Failure> failed;
        if (r.status == stream::ReadStatus::end) {
            failed = resampler.finish(converted);
        } else {
            if (by_clock) {
                const UtcTime now = utc_now();
                if (!clock) {
                    UtcTime first_sample = now;
                    first_sample.frac -= static_cast<double>(r.frames) / rate;
                    const double whole = std::floor(first_sample.frac);
                    first_sample.sec += static_cast<std::int64_t>(whole);
                    first_sample.frac -= whole;
                    origin_ = origin_of(first_sample);
                    utc_known_ = true;
                    clock.emplace(rate);
                    end_stretch();
                    cutter_->begin_stretch(name, seconds_after(first_sample, *origin_));
                    in_stretch_ = true;
                    note(format("'%s': first sample at %s by the system clock", name.c_str(),
                                format_utc_ms(first_sample.sec * 1000 +
                                              static_cast<std::int64_t>(first_sample.frac * 1000))
                                    .c_str()));
                }
                frames += static_cast<std::int64_t>(r.frames);
                clock->observe(frames, seconds_after(now, *origin_));
                if (clock->ahead() && !warned_ahead) {
                    warned_ahead = true;
                    note(
                        format("'%s': samples arrive faster than real time; give --start to "
                               "place them by their count",
                               name.c_str()));
                }
            }
            failed = resampler.process(std::span<const double>(buffer.data(), r.frames), converted);
        }
        if (failed) return fail(failed->text);
        // A live stream that ended before its first sample has no place.
        if (!by_clock || clock) cutter_->push(converted, place(), submit);
        if (r.status == stream::ReadStatus::end) break;
    }
    if (!by_clock) end_of_last_ = map_.time_of(cutter_->samples());
    last_name_ = name;
    return 0;
}

void Monitor::submit(MinuteWork&& w) {
    Job job;
    if (utc_known_) job.utc = *origin_ + static_cast<std::int64_t>(std::llround(w.minute));
    job.work = std::move(w);
    pool_->submit(std::move(job));
}

void Monitor::end_stretch() {
    if (!in_stretch_) return;
    in_stretch_ = false;
    if (signals_.stop || pool_->stopped()) return;
    cutter_->finish(map_, [this](MinuteWork&& w) { submit(std::move(w)); });
}

int Monitor::run() {
    std::vector<Input> inputs;
    if (auto status = plan(inputs)) return *status;
    if (!o_.waterfall.empty()) {
        struct stat st {};
        if (stat(o_.waterfall.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            access(o_.waterfall.c_str(), W_OK | X_OK) != 0)
            return fail(format("--waterfall: '%s' is not a folder that can be written",
                               o_.waterfall.c_str()));
    }
    if (auto why = output_.open(o_.output, format_header(o_.format, o_.average > 1)))
        return fail(*why);
    if (auto why = mqtt_.start(o_.mqtt_publishers, o_.mqtt.linger_s); !why.empty())
        return fail(why);
    AverageSettings averaging;
    averaging.max_minutes = o_.average;
    averagers_.assign(o_.freqs.size(), Averager(averaging));

    const int threads = o_.jobs > 0 ? o_.jobs : available_processors();
    pool_ = std::make_unique<OrderedPool<Job, Records>>(
        threads, static_cast<std::size_t>(threads) + 1, [this](Job& job) { return decode(job); },
        [this](Records& r) { return emit(r); });
    // The carrier and the waterfall need the minute to its end: the work
    // waits for it.
    cutter_ = std::make_unique<MinuteCutter>(o_.window, o_.carrier || !o_.waterfall.empty());

    int status = 0;
    for (std::size_t i = 0; i < inputs.size() && status == 0; ++i) {
        status = read_input(inputs[i]);
        if (signals_.stop || pool_->stopped()) break;
    }
    if (status == 0) end_stretch();
    if (signals_.stop)
        pool_->stop();
    else
        pool_->drain();
    pool_.reset();  // joins the workers: nothing is written after this
    const MqttOutput::Finished sent = mqtt_.finish();
    print(sent.messages);
    if (write_status_ == WriteStatus::error) {
        std::fprintf(err_, "beaconmon: %s\n", output_.error().c_str());
        status = 1;
    }
    if (pictures_failed_ > 0) {
        std::fprintf(err_, "beaconmon: the waterfalls of %d %s could not be written\n",
                     pictures_failed_, pictures_failed_ == 1 ? "minute" : "minutes");
        status = 1;
    }
    return sent.lost ? MQTT_LOST_STATUS : status;
}

}  // namespace

int run_monitor(const Options& o, Signals& signals, std::FILE* err) {
    Monitor m(o, signals, err);
    return m.run();
}

}  // namespace beacon::mon
