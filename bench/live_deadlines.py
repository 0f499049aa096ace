#!/usr/bin/python3
"""Whether `nimbusdale live` keeps its deadlines: its own count of missed deadlines, overruns and
underruns (and the server's xruns) at a given JACK period, on a private jackd with the dummy
backend, with the machine idle and beside busy loops. A measurement, not a test: it prints one
line per run and always exits 0 when the runs complete.

    /usr/bin/python3 bench/live_deadlines.py --tool build/release/apps/nimbusdale \\
        [--period 256] [--seconds 20] [--channels 4] [--busy 0 2] [-- LIVE OPTIONS]

The input is a hum with harmonics, noise and tone bursts on every channel (the chain's work
depends on what it hears, so not silence).
"""

import argparse
import multiprocessing
import os
import re
import subprocess
import time

import jack
import numpy as np

RATE = 16000


def open_client(name, server, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            return jack.Client(name, servername=server, no_start_server=True)
        except jack.JackOpenError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def signal(seconds, channels):
    rng = np.random.default_rng(1)
    t = np.arange(int(seconds * RATE)) / RATE
    bursts = np.where((t % 0.6) < 0.15, 0.25 * np.sin(2 * np.pi * 1000 * t), 0.0)
    x = np.empty((len(t), channels), np.float32)
    for c in range(channels):
        hum = sum(0.1 / k * np.sin(2 * np.pi * 100 * k * t + 0.4 * k * c) for k in range(1, 8))
        x[:, c] = hum + bursts + 0.02 * rng.standard_normal(len(t))
    return x


def busy():
    while True:
        pass


def run(args, server, busy_loops):
    x = signal(args.seconds, args.channels)
    player = open_client("player", server)
    outs = [player.outports.register(f"out_{c + 1}") for c in range(args.channels)]
    played = [0]

    @player.set_process_callback
    def play(frames):
        for c, port in enumerate(outs):
            chunk = x[played[0]:played[0] + frames, c]
            buf = port.get_array()
            buf[:] = 0
            buf[:len(chunk)] = chunk
        played[0] += frames

    player.activate()
    loops = [multiprocessing.Process(target=busy, daemon=True) for _ in range(busy_loops)]
    for loop in loops:
        loop.start()
    try:
        connect = [a for c in range(args.channels) for a in ("--connect-in", f"player:out_{c + 1}")]
        live = subprocess.run(
            [args.tool, "live", "--server", server, "--channels", str(args.channels), *connect,
             "--connect-out", "system:playback_1", "--duration", str(args.seconds), *args.live],
            capture_output=True, text=True, timeout=args.seconds * 20 + 60)
    finally:
        for loop in loops:
            loop.terminate()
        player.deactivate()
        player.close()
    found = re.search(r"\d+ deadline misses, \d+ overruns, \d+ underruns, \d+ xruns",
                      live.stderr)
    if live.returncode != 0 or not found:
        raise SystemExit(f"live run failed ({live.returncode}):\n{live.stderr}")
    print(f"period {args.period}, {args.channels} channels, {args.seconds} s, "
          f"{busy_loops} busy loops: {found.group(0)}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--period", type=int, default=256)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--channels", type=int, default=4)
    parser.add_argument("--busy", type=int, nargs="+", default=[0, 2],
                        help="busy loops beside each run, one run per value")
    parser.add_argument("live", nargs="*", help="options of nimbusdale live, after --")
    args = parser.parse_args()

    # The client library reports every refused connection while the server starts; the probe
    # below retries until it is up.
    jack.set_error_function(lambda message: None)
    server = f"nimbusdale-bench-{os.getpid()}"
    env = dict(os.environ, JACK_NO_AUDIO_RESERVATION="1", JACK_NO_START_SERVER="1")
    jackd = subprocess.Popen(["jackd", "--no-realtime", "--name", server, "-d", "dummy",
                              "--rate", str(RATE), "--period", str(args.period)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        open_client("probe", server).close()
        for loops in args.busy:
            run(args, server, loops)
    finally:
        jackd.terminate()
        jackd.wait(timeout=10)


if __name__ == "__main__":
    main()
