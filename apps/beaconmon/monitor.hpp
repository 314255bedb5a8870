// The run of beaconmon: inputs placed on the timeline, read a little at a
// time, brought to 12000 Hz, cut into minutes, each minute decoded for every
// frequency on the worker threads, and the records written in minute order.
#pragma once

#include <atomic>
#include <cstdio>

#include "beaconmon/options.hpp"

namespace beacon::mon {

// Set by the signal handlers: stop (SIGINT, SIGTERM) and reopen the output
// (SIGHUP).
struct Signals {
    std::atomic<bool> stop{false};
    std::atomic<bool> reopen{false};
};

// Runs to the end of the input or a stop; returns the exit status (0, or 1
// after one line "beaconmon: ..." on `err`). Notes go to `err` unless -q.
int run_monitor(const Options& o, Signals& signals, std::FILE* err);

}  // namespace beacon::mon
