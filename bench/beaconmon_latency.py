#!/usr/bin/env python3
"""Latency of beaconmon through a pipe: how long after the last sample of a
minute's span is written into the pipe its record comes out.

Raw 12000 Hz samples of a beaconsim recording are written into beaconmon's
standard input, quickly up to 0.2 s before the end of each minute's span,
then, after a pause that lets beaconmon go idle, the rest of the span in one
write; the time from that write to the record's line on beaconmon's output
is the latency.

    bench/beaconmon_latency.py [BUILD_DIR]     (MINUTES=8)
"""
import os, subprocess, sys, tempfile, time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
minutes = int(os.environ.get("MINUTES", "8"))
sim = os.path.join(build, "apps/beaconsim/beaconsim")
mon = os.path.join(build, "apps/beaconmon/beaconmon")
rate, window, after = 12000, 2.0, 24.6

with tempfile.TemporaryDirectory() as d:
    wav = os.path.join(d, "in.wav")
    subprocess.run([sim, "-m", "OZ7IGY/B", "--id", "OZ7IGY", "-n", str(minutes), "-s", "0",
                    "-l", str(60 * minutes), "--snr", "-18", wav], check=True,
                   stderr=subprocess.DEVNULL)
    data = open(wav, "rb").read()[44:]
    p = subprocess.Popen([mon, "--raw", "s16le", "-r", str(rate), "--start",
                          "2026-12-07T10:00:00Z", "-w", str(window)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    sent, lat = 0, []
    for m in range(minutes - 1):
        end = round((60 * m + window + after) * rate) * 2  # bytes up to the span's end
        before = end - round(0.2 * rate) * 2
        p.stdin.write(data[sent:before])
        time.sleep(1.0)
        t0 = time.monotonic()
        p.stdin.write(data[before:end])
        sent = end
        line = p.stdout.readline()
        lat.append(time.monotonic() - t0)
        print(f"minute {m}: {lat[-1] * 1000:7.1f} ms  {line.decode().strip()}")
    p.stdin.close()
    p.wait()
    lat.sort()
    print(f"latency over {len(lat)} minutes: median {lat[len(lat) // 2] * 1000:.1f} ms, "
          f"max {lat[-1] * 1000:.1f} ms; load {open('/proc/loadavg').read().split()[0]}")
