#!/bin/bash
# Throughput of records to a local mosquitto broker (127.0.0.1, a free port,
# started here and stopped at the end), with several in-flight windows. Each
# run hands RECORDS records of the JSON Lines form to a Publisher and times
# them until the broker has acknowledged the last one. No subscriber: with
# one, the broker also has to deliver each record again.
#
#   bench/mqtt_bench.sh [BUILD_DIR]     (configured with -DBEACON_BENCH=ON;
#                                        RECORDS=100000 WINDOWS="1 100 1000" RUNS=3)
#
# The records outnumber the 65535 message ids of MQTT, so that their reuse
# is part of every run.
set -euo pipefail
build=${1:-build}
records=${RECORDS:-100000}
runs=${RUNS:-3}
read -r -a windows <<<"${WINDOWS:-1 100 1000}"
bench=$build/bench/mqtt_bench
[ -x "$bench" ] || {
    echo "build it first: cmake -S . -B $build -DBEACON_BENCH=ON && cmake --build $build -j1 --target mqtt_bench" >&2
    exit 2
}
dir=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser root\n' "$port" >"$dir/mosquitto.conf"
/usr/sbin/mosquitto -c "$dir/mosquitto.conf" >"$dir/log" 2>&1 &
broker=$!
trap 'kill $broker 2>/dev/null; wait $broker 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done
echo "processors: $(nproc); load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for w in "${windows[@]}"; do
    for ((r = 1; r <= runs; r++)); do
        "$bench" "mqtt://127.0.0.1:$port" "$records" "$w"
    done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
