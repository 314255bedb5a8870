// beaconmon: watches a PI4 beacon around the clock and writes a record for
// every whole minute of its input.
#include <signal.h>

#include <cstdio>

#include "beaconmon/monitor.hpp"
#include "beaconmon/options.hpp"
#include "plot/plot.hpp"

namespace {

beacon::mon::Signals signals;

extern "C" void on_stop(int) {
    signals.stop = true;
}
extern "C" void on_hangup(int) {
    signals.reopen = true;
}

// Without SA_RESTART, so that a read waiting for input returns and the
// program sees the flag.
void install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(sig, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    beacon::mon::Options options;
    const int parsed = beacon::mon::parse_options(argc, argv, options, stdout, stderr);
    if (parsed != beacon::mon::CONTINUE) return parsed;
    static_assert(std::atomic<bool>::is_always_lock_free);
    install(SIGINT, on_stop);
    install(SIGTERM, on_stop);
    install(SIGHUP, on_hangup);
    // A closed output pipe shows as EPIPE on the write, which ends the run
    // quietly.
    signal(SIGPIPE, SIG_IGN);
    const int status = beacon::mon::run_monitor(options, signals, stderr);
    beacon::plot::release_caches();  // so that a leak checker sees none of cairo's
    return status;
}
