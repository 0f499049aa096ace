#!/usr/bin/python3
"""Scores the nimbusdale tool and single-channel peers on the example set: the change in SI-SDR
and SDR from the unprocessed channel 0, and STOI, against each item's clean reference.

    /usr/bin/python3 bench/evaluate_examples.py [--build DIR] [--tool PATH] [--no-setup]
        [--examples DIR | --held-out] [--integrator NAME] [--grid OPTION=V1,V2,...]...
        [--peers LIST] [--keep DIR] [-- EXTRA TOOL OPTIONS]

First bench/setup_peers.sh installs what the evaluation needs (Debian packages as root, RNNoise
from npm) and builds the tool and the peer programs in --build (default build/release);
--no-setup skips that. --tool PATH scores another build of the tool.

Without --examples the set is generated into build/examples by examples/make_examples.py; with
--held-out, the held-out set (other voices, lines, babble and competing talkers and random draws
under the same conditions) into build/examples-held-out. --integrator NAME and the options after
-- go to every `nimbusdale enhance` run; each --grid adds an axis, and every combination is run
and scored.

Peers, on channel 0 of the same items (--peers, default all of them; --peers '' for none):
  speex            the SpeexDSP preprocessor's denoiser, 20 ms frames (bench/speex_denoise);
  webrtc-high,     WebRTC's noise suppressor alone at level high or veryhigh, 10 ms frames
  webrtc-veryhigh  (bench/webrtc_denoise, Debian's webrtc-audio-processing 0.3);
  rnnoise          RNNoise (npm @shiguredo/rnnoise-wasm under node, bench/rnnoise_denoise.mjs)
                   at 48 kHz, resampled by sox;
  sox              sox noisered, amount 0.21, with a noise profile from the first 0.5 s of
                   channel 0 after any leading digital silence;
  lsa              the Ephraim-Malah log-spectral amplitude estimator (bench/lsa_denoise.py),
                   noise from the first 0.3 s after any leading digital silence.

Every output is aligned to the reference as `nimbusdale score` aligns it (the lag, within
50 ms, with the largest cross-correlation) and scored on the overlap; bench/speech_metrics.py
has the scores. Prints a table per system and item, a Markdown summary (every system's mean and
worst item), the mean SI-SDR improvement of every system per noise class, per input SNR and with
and without reverberation, and every item on which a system did worse than the unprocessed
channel 0 on any score. Exits with status 1 when nimbusdale failed on an item or made one worse,
2 when the tool rejects the options.
"""
import argparse
import importlib.util
import itertools
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lsa_denoise  # noqa: E402
import speech_metrics  # noqa: E402

SCORES = ("si_sdr", "sdr", "stoi")
SOX_NOISE_SECONDS = 0.5
SOX_AMOUNT = 0.21
LSA_NOISE_SECONDS = 0.3


class Failed(Exception):
    """A system produced no usable output for an item."""


class Rejected(Exception):
    """The tool refused its command line: every item would fail the same way."""


def last_line(text):
    lines = [line for line in (text or "").strip().splitlines() if line.strip()]
    return lines[-1].strip() if lines else "no message"


def run(command, what, **kwargs):
    try:
        done = subprocess.run(command, capture_output=True, **kwargs)
    except FileNotFoundError:
        raise SystemExit(f"evaluate_examples.py: {command[0]} not found ({what} needs it; "
                         "bash bench/setup_peers.sh installs and builds the peers)")
    if done.returncode != 0:
        err = done.stderr.decode(errors="replace") if isinstance(done.stderr, bytes) \
            else done.stderr
        raise Failed(f"{what} exited with status {done.returncode}: {last_line(err)}")
    return done


def mono(path):
    x, rate = speech_metrics.read_wav(path)
    if x.shape[1] != 1:
        raise Failed(f"{os.path.basename(path)} has {x.shape[1]} channels, not one")
    return x[:, 0], rate


class Tool:
    def __init__(self, path, options, short):
        self.path, self.options, self.short = path, options, short
        self.name = "nimbusdale " + (" ".join(options) if options else "(defaults)")

    def __call__(self, item, tmp):
        out = os.path.join(tmp, "nimbusdale.wav")
        command = [self.path, "enhance", item.noisy_path, "-o", out, "--quiet"] + self.options
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode == 2:  # the command-line parser's status: wrong options, not audio
            raise Rejected(f"{' '.join(command)}\n{done.stderr.strip()}")
        if done.returncode != 0:
            raise Failed(f"exited with status {done.returncode}: {last_line(done.stderr)}")
        y, rate = mono(out)
        if rate != item.rate:
            raise Failed(f"wrote {rate} Hz for {item.rate} Hz input")
        return y


def filter_raw(command, what, item):
    """Channel 0 through a filter of raw 16-bit samples, which must give back as many."""
    pcm = np.clip(np.round(item.noisy[:, 0] * 32768), -32768, 32767).astype("<i2")
    done = run(command, what, input=pcm.tobytes())
    y = np.frombuffer(done.stdout, dtype="<i2") / 32768.0
    if len(y) != len(pcm):
        raise Failed(f"{what} returned {len(y)} samples for {len(pcm)}")
    return y


class Speex:
    name, short = "SpeexDSP denoiser, channel 0", "speex"

    def __init__(self, build):
        self.path = os.path.join(build, "bench/speex_denoise")

    def __call__(self, item, tmp):
        return filter_raw([self.path, str(item.rate)], "speex_denoise", item)


class WebRtc:
    def __init__(self, build, level):
        self.path, self.level = os.path.join(build, "bench/webrtc_denoise"), level
        self.name = f"WebRTC noise suppression {level}, channel 0"
        self.short = f"webrtc {level}"

    def __call__(self, item, tmp):
        return filter_raw([self.path, self.level, str(item.rate)], "webrtc_denoise", item)


class Rnnoise:
    name, short = "RNNoise (48 kHz), channel 0", "rnnoise"

    def __init__(self, build):
        self.module = os.path.join(build, "rnnoise")

    def __call__(self, item, tmp):
        out = os.path.join(tmp, "rnnoise.wav")
        run(["node", os.path.join(ROOT, "bench/rnnoise_denoise.mjs"), "--module", self.module,
             item.noisy_path, out], "rnnoise_denoise.mjs", text=True)
        y, rate = mono(out)
        if rate != item.rate or len(y) != len(item.noisy):
            raise Failed(f"wrote {len(y)} samples at {rate} Hz for {len(item.noisy)} at "
                         f"{item.rate} Hz")
        return y


class SoxNoisered:
    name, short = f"sox noisered {SOX_AMOUNT}, channel 0", "sox"

    def __call__(self, item, tmp):
        ch0, out, profile = (os.path.join(tmp, f) for f in ("ch0.wav", "sox.wav", "noise.prof"))
        speech_metrics.write_wav(ch0, item.noisy[:, 0], item.rate)
        start = lsa_denoise.first_sound(item.noisy[:, 0]) / item.rate
        run(["sox", ch0, "-n", "trim", f"{start:.6f}", f"{SOX_NOISE_SECONDS}", "noiseprof",
             profile], "sox noiseprof", text=True)
        # -D: no dither on the 16-bit output, so the scores are the same on every run.
        run(["sox", "-D", ch0, out, "noisered", profile, f"{SOX_AMOUNT}"], "sox noisered",
            text=True)
        return mono(out)[0]


class Lsa:
    name, short = "log-spectral amplitude MMSE, channel 0", "lsa"

    def __call__(self, item, tmp):
        return lsa_denoise.enhance(item.noisy[:, 0], item.rate, noise_seconds=LSA_NOISE_SECONDS)


class Item:
    def __init__(self, folder, name, condition):
        """condition: (description, noise class, SNR in dB, reverberant) from the generator's
        list, or None for an item it does not list."""
        self.name = name
        self.description, self.kind, self.snr_db, self.reverberant = condition or (
            "", "unlisted", None, None)
        self.noisy_path = os.path.join(folder, name, "noisy.wav")
        self.noisy, self.rate = speech_metrics.read_wav(self.noisy_path)
        clean, clean_rate = speech_metrics.read_wav(os.path.join(folder, name, "clean.wav"))
        if clean_rate != self.rate:
            raise SystemExit(f"{name}: clean.wav is at {clean_rate} Hz, noisy.wav at {self.rate}")
        self.clean = clean[:, 0]
        try:
            self.before = speech_metrics.score(self.clean, self.noisy[:, 0], self.rate)
        except ValueError as e:
            raise SystemExit(f"{name}: channel 0 of noisy.wav cannot be scored: {e}")


class Row:
    """One system on one item: scores, their change from channel 0, or why there are none."""

    def __init__(self, item, after=None, error=None, seconds=0.0):
        self.item, self.after, self.error, self.seconds = item, after, error, seconds

    def delta(self, key):
        return self.after[key] - self.item.before[key]

    def worse(self):
        """The scores on which this output is worse than channel 0 (all of them on failure)."""
        if self.error:
            return list(SCORES)
        return [k for k in SCORES if self.delta(k) < 0]


def evaluate(system, items, tmp, keep):
    rows = []
    for item in items:
        start = time.monotonic()
        try:
            y = system(item, tmp)
            seconds = time.monotonic() - start
            if keep:
                folder = os.path.join(keep, system.name.replace(" ", "_").replace("/", "_"))
                os.makedirs(folder, exist_ok=True)
                speech_metrics.write_wav(os.path.join(folder, item.name + ".wav"), y, item.rate)
            try:
                after = speech_metrics.score(item.clean, y, item.rate)
            except ValueError as e:
                raise Failed(f"cannot be scored: {e}")
            rows.append(Row(item, after, seconds=seconds))
        except Failed as e:
            rows.append(Row(item, error=str(e), seconds=time.monotonic() - start))
    return rows


def fmt_db(x):
    return "inf" if math.isinf(x) else f"{x:+.2f}"


def print_items(name, rows):
    good = [r for r in rows if not r.error]
    mean = np.mean([r.delta("si_sdr") for r in good]) if good else float("nan")
    print(f"\n{name}: mean SI-SDR improvement {mean:+.2f} dB over {len(good)} of {len(rows)} "
          f"items, {sum(r.seconds for r in rows):.1f} s")
    print("| item | condition | channel 0 SI-SDR | SI-SDR | ΔSI-SDR | ΔSDR | channel 0 STOI "
          "| STOI | ΔSTOI | lag | time (s) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        b = r.item.before
        if r.error:
            print(f"| {r.item.name} | {r.item.description} | {b['si_sdr']:.2f} | FAILED: "
                  f"{r.error} | | | {b['stoi']:.3f} | | | | {r.seconds:.2f} |")
            continue
        a = r.after
        print(f"| {r.item.name} | {r.item.description} | {b['si_sdr']:.2f} | {a['si_sdr']:.2f} | "
              f"{fmt_db(r.delta('si_sdr'))} | {fmt_db(r.delta('sdr'))} | {b['stoi']:.3f} | "
              f"{a['stoi']:.3f} | {r.delta('stoi'):+.3f} | {a['lag']} | {r.seconds:.2f} |")


def summary_cells(rows, key, delta, digits):
    """(mean, worst item) cells over the items that have scores; a failure is the worst."""
    good = [r for r in rows if not r.error]
    value = (lambda r: r.delta(key)) if delta else (lambda r: r.after[key])
    sign = "+" if delta else ""
    mean = f"{np.mean([value(r) for r in good]):{sign}.{digits}f}" if good else "n/a"
    failed = [r for r in rows if r.error]
    if failed:
        return mean, f"failed ({failed[0].item.name})"
    worst = min(good, key=value)
    return mean, f"{value(worst):{sign}.{digits}f} ({worst.item.name})"


def print_summary(systems, items):
    print(f"\nSummary over {len(items)} items: change from the unprocessed channel 0 (SI-SDR and "
          "SDR in dB), STOI of the output; worst item in brackets.\n")
    print("| System | ΔSI-SDR mean | ΔSI-SDR worst | ΔSDR mean | ΔSDR worst | STOI mean "
          "| STOI worst | Items worse than channel 0 |")
    print("|---|---|---|---|---|---|---|---|")
    stoi = [i.before["stoi"] for i in items]
    low = min(items, key=lambda i: i.before["stoi"])
    print(f"| unprocessed channel 0 | 0 | | 0 | | {np.mean(stoi):.3f} | "
          f"{low.before['stoi']:.3f} ({low.name}) | |")
    for name, _, rows in systems:
        cells = []
        for key, delta, digits in (("si_sdr", True, 2), ("sdr", True, 2), ("stoi", False, 3)):
            cells += summary_cells(rows, key, delta, digits)
        worse = sum(1 for r in rows if r.worse())
        print(f"| {name} | " + " | ".join(cells) + f" | {worse} of {len(rows)} |")


def print_regressions(systems):
    """Lists every item a system made worse; returns how many nimbusdale made worse or failed."""
    print("\nItems worse than the unprocessed channel 0 (failures included):")
    ours_bad = 0
    for name, _, rows in systems:
        bad = [r for r in rows if r.worse()]
        ours = name.startswith("nimbusdale")
        if not bad:
            print(f"  {name}: none")
            continue
        ours_bad += len(bad) if ours else 0
        print(f"  {'REGRESSION ' if ours else ''}{name}: {len(bad)} of {len(rows)} items")
        for r in bad:
            if r.error:
                print(f"    {r.item.name}: FAILED: {r.error}")
            else:
                print(f"    {r.item.name}: " + ", ".join(
                    f"{k.upper().replace('_', '-')} {r.delta(k):+.3f}" for k in r.worse()))
    return ours_bad


def print_breakdown(systems, items):
    """The mean SI-SDR improvement of every system per noise class, per input SNR and with and
    without reverberation; the best in each row in bold."""
    groups = [(kind, [i for i in items if i.kind == kind])
              for kind in dict.fromkeys(i.kind for i in items)]
    snrs = sorted({i.snr_db for i in items if i.snr_db is not None})
    groups += [(f"SNR {snr:+.0f} dB", [i for i in items if i.snr_db == snr]) for snr in snrs]
    groups += [(label, [i for i in items if i.reverberant is flag])
               for label, flag in (("reverberant", True), ("dry", False))]
    groups += [("all items", items)]
    print("\nMean ΔSI-SDR (dB) per noise class, input SNR at channel 0 and room; a failed item "
          "counts as missing and is marked *.\n")
    print("| Class / input SNR | Items | " + " | ".join(short for _, short, _ in systems) + " |")
    print("|---|---|" + "---|" * len(systems))
    for label, members in groups:
        if not members:
            continue
        names = {i.name for i in members}
        cells, means = [], []
        for _, _, rows in systems:
            mine = [r for r in rows if r.item.name in names]
            good = [r.delta("si_sdr") for r in mine if not r.error]
            means.append(np.mean(good) if good else -math.inf)
            cells.append((f"{np.mean(good):+.2f}" if good else "n/a")
                         + ("*" if len(good) < len(mine) else ""))
        best = max(means)
        cells = [f"**{c}**" if m == best and len(systems) > 1 else c
                 for c, m in zip(cells, means)]
        print(f"| {label} | {len(members)} | " + " | ".join(cells) + " |")


def load_items(examples, generated):
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        import make_examples
        known = {i[0]: (make_examples.describe(*i[1:4], *(i[6:7] or [None])), i[2], i[3],
                        "rt60" in (i[6:7] or [{}])[0]) for i in make_examples.ITEMS}
    except ImportError:
        known = {}
    present = {d for d in os.listdir(examples)
               if os.path.exists(os.path.join(examples, d, "noisy.wav"))}
    # A set made here holds exactly what the generator lists; a given folder, all it has.
    names = [n for n in known if n in present]
    if not generated:
        names += sorted(present - set(known))
    if not names:
        raise SystemExit(f"no items (folders with noisy.wav) in {examples}")
    return [Item(examples, n, known.get(n)) for n in names]


# Each peer: what it needs in the build folder (None: nothing there) and how it is made.
PEERS = {
    "speex": ("bench/speex_denoise", Speex),
    "webrtc-high": ("bench/webrtc_denoise", lambda build: WebRtc(build, "high")),
    "webrtc-veryhigh": ("bench/webrtc_denoise", lambda build: WebRtc(build, "veryhigh")),
    "rnnoise": ("rnnoise/node_modules/@shiguredo/rnnoise-wasm", Rnnoise),
    "sox": (None, lambda build: SoxNoisered()),
    "lsa": (None, lambda build: Lsa()),
}


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build/release"),
                        help="build folder of the tool and the peer programs")
    parser.add_argument("--tool", help="the nimbusdale tool (default: BUILD/apps/nimbusdale)")
    parser.add_argument("--no-setup", action="store_true",
                        help="install and build nothing (bench/setup_peers.sh does otherwise)")
    parser.add_argument("--examples", help="folder of items (default: generate build/examples)")
    parser.add_argument("--held-out", action="store_true",
                        help="generate and score the held-out set instead of the development set")
    parser.add_argument("--integrator", help="integrator node for every nimbusdale run")
    parser.add_argument("--grid", action="append", default=[], metavar="OPTION=V1,V2,...")
    parser.add_argument("--peers", default=",".join(PEERS),
                        help=f"comma-separated peers: {', '.join(PEERS)} ('' for none)")
    parser.add_argument("--keep", help="write every output to KEEP/SYSTEM/ITEM.wav")
    parser.add_argument("extra", nargs="*", help="options for nimbusdale enhance (after --)")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    started = time.monotonic()

    peers = [p for p in args.peers.split(",") if p]
    unknown = set(peers) - set(PEERS)
    if unknown:
        raise SystemExit(f"unknown peers: {', '.join(sorted(unknown))} (known: "
                         f"{', '.join(PEERS)})")
    if args.examples and args.held_out:
        raise SystemExit("--examples and --held-out exclude each other")
    if not args.no_setup:
        done = subprocess.run(["bash", os.path.join(ROOT, "bench/setup_peers.sh"), args.build],
                              stdout=sys.stderr)
        if done.returncode != 0:
            raise SystemExit(f"bench/setup_peers.sh {args.build} failed with status "
                             f"{done.returncode} (its output is above)")
    tool = args.tool or os.path.join(args.build, "apps/nimbusdale")
    if not os.path.exists(tool):
        raise SystemExit(f"no nimbusdale tool at {tool} (--tool PATH, or drop --no-setup)")
    for peer in peers:
        needs = PEERS[peer][0] and os.path.join(args.build, PEERS[peer][0])
        if needs and not os.path.exists(needs):
            raise SystemExit(f"the {peer} peer needs {needs}: run bash bench/setup_peers.sh "
                             f"{args.build}, or leave {peer} out of --peers")
    if "lsa" in peers and importlib.util.find_spec("scipy") is None:
        raise SystemExit("the lsa peer needs python3-scipy (apt-get install python3-scipy), "
                         "or leave lsa out of --peers")

    examples = args.examples
    if not examples:
        examples = os.path.join(ROOT, "build/examples-held-out" if args.held_out
                                else "build/examples")
        made = subprocess.run([sys.executable, os.path.join(ROOT, "examples/make_examples.py")]
                              + (["--held-out"] if args.held_out else []) + [examples],
                              stdout=subprocess.DEVNULL)
        if made.returncode != 0:
            raise SystemExit(f"examples/make_examples.py could not make {examples} (status "
                             f"{made.returncode}, its error is above)")
    elif not os.path.isdir(examples):
        raise SystemExit(f"--examples {examples}: no such folder")
    items = load_items(examples, generated=not args.examples)

    base = list(args.extra)
    if args.integrator:
        base += ["--integrator", args.integrator]
    axes = []
    for g in args.grid:
        option, _, values = g.partition("=")
        if not option or not values:
            raise SystemExit(f"--grid {g}: expected OPTION=V1,V2,...")
        axes.append((option, values.split(",")))
    tools = []
    for combo in itertools.product(*[values for _, values in axes]):
        options = list(base)
        for (option, _), value in zip(axes, combo):
            options += [f"--{option}", value]
        short = " ".join(combo) or args.integrator or "defaults"
        tools.append(Tool(tool, options, "nimbusdale " + short))

    ours, theirs = [], []
    with tempfile.TemporaryDirectory() as tmp:
        try:
            for system in tools:
                ours.append((system.name, system.short, evaluate(system, items, tmp, args.keep)))
        except Rejected as e:
            print(f"nimbusdale rejected the options; nothing was scored:\n{e}", file=sys.stderr)
            return 2
        for peer in peers:
            system = PEERS[peer][1](args.build)
            theirs.append((system.name, system.short,
                           evaluate(system, items, tmp, args.keep)))

    def mean_gain(entry):
        good = [r.delta("si_sdr") for r in entry[2] if not r.error]
        return np.mean(good) if good else -math.inf

    ours.sort(key=lambda e: -mean_gain(e))
    systems = ours + theirs
    for name, _, rows in systems:
        print_items(name, rows)
    print_summary(systems, items)
    print_breakdown(systems, items)
    bad = print_regressions(systems)
    seconds = time.monotonic() - started
    print(f"\n{len(items)} items, {len(systems)} systems, {seconds:.1f} s in all")
    if bad:
        print(f"FAILED: {bad} nimbusdale run(s) on an item scored worse than the unprocessed "
              "channel 0 or failed (listed above).")
        return 1
    print("nimbusdale made no item worse than the unprocessed channel 0.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
