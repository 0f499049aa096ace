#!/usr/bin/python3
"""Scores the nimbusdale tool on the example set: SI-SDR of the unprocessed channel 0 and of the
enhanced output against each item's clean reference, and the improvement.

    /usr/bin/python3 bench/evaluate_examples.py [--tool PATH] [--examples DIR]
        [--grid OPTION=V1,V2,...]... [-- EXTRA TOOL OPTIONS]

Without --examples the set is generated into build/examples by examples/make_examples.py (needs
espeak-ng, sox and python3-numpy). Each --grid adds an axis; every combination is run and the
table gives the mean improvement per combination, best first.
"""
import argparse
import itertools
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def si_sdr(tool, reference, estimate):
    out = subprocess.run([tool, "score", "--reference", reference, estimate], check=True,
                         capture_output=True, text=True).stdout
    return float(re.search(r"SI-SDR (\S+) dB", out).group(1))


def enhance(tool, noisy, out, options):
    start = time.monotonic()
    subprocess.run([tool, "enhance", noisy, "-o", out, "--quiet"] + options, check=True)
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", default=os.path.join(ROOT, "build/release/apps/nimbusdale"))
    parser.add_argument("--examples")
    parser.add_argument("--grid", action="append", default=[])
    parser.add_argument("extra", nargs="*")
    args = parser.parse_args()

    examples = args.examples
    if not examples:
        examples = os.path.join(ROOT, "build/examples")
        subprocess.run([sys.executable, os.path.join(ROOT, "examples/make_examples.py"), examples],
                       check=True, stdout=subprocess.DEVNULL)
    items = sorted(d for d in os.listdir(examples)
                   if os.path.exists(os.path.join(examples, d, "noisy.wav")))
    axes = [(g.split("=")[0], g.split("=")[1].split(",")) for g in args.grid]

    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for combo in itertools.product(*[values for _, values in axes]):
            options = list(args.extra)
            for (name, _), value in zip(axes, combo):
                options += [f"--{name}", value]
            rows = []
            for item in items:
                noisy = os.path.join(examples, item, "noisy.wav")
                clean = os.path.join(examples, item, "clean.wav")
                out = os.path.join(tmp, item + ".wav")
                seconds = enhance(args.tool, noisy, out, options)
                before, after = si_sdr(args.tool, clean, noisy), si_sdr(args.tool, clean, out)
                rows.append((item, before, after, seconds))
            mean = sum(r[2] - r[1] for r in rows) / len(rows)
            results.append((mean, " ".join(options), rows))

    results.sort(key=lambda r: -r[0])
    for mean, options, rows in results:
        print(f"\noptions: {options or '(defaults)'}   mean SI-SDR improvement {mean:+.2f} dB")
        print("| item | channel 0 SI-SDR (dB) | enhanced SI-SDR (dB) | improvement (dB) | time (s) |")
        print("|---|---|---|---|---|")
        for item, before, after, seconds in rows:
            print(f"| {item} | {before:.2f} | {after:.2f} | {after - before:+.2f} | {seconds:.2f} |")


if __name__ == "__main__":
    main()
