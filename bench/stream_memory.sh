#!/usr/bin/env bash
# Peak memory and speed of nimbusdale enhance on a long recording that is never stored: a
# generator writes HOURS hours (default 2) of 8-channel 16 kHz audio (harmonic hum, broadband
# noise and tone bursts, the same every run) as raw little-endian float32 to a pipe, block by
# block, and the tool reads it from standard input:
#
#   generator | nimbusdale enhance - --raw f32le --channels 8 --rate 16000 --length 512 --hop 160
#                 -o OUT --integrator {mask,median,poisson-gamma} -q
#
# OUT is a float WAV file in a temporary directory (removed after each run and at exit), checked
# to hold every sample. /usr/bin/time measures the tool alone, not the generator; the generator's
# own time through a pipe is printed first, to show that it does not limit the speed. Prints each
# chain's audio hours, wall-clock seconds, multiple of real time and peak RSS, and fails if a
# peak RSS reaches LIMIT_MIB (default 64): the tool's memory must not grow with the stream.
#
#   bash bench/stream_memory.sh [BUILD_DIR]   (default build/release; installs time)
#   HOURS=0.05 bash bench/stream_memory.sh    a quick try (3 minutes of audio)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_packages time "${BUILD_PACKAGES[@]}"

build=${1:-build/release}
hours=${HOURS:-2}
limit=${LIMIT_MIB:-64}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target nimbusdale_tool >/dev/null
tool=$build/apps/nimbusdale
rate=16000
channels=8

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The generator: one second of audio a block, summed from precomputed periodic buffers (the hum
# repeats every second, the bursts every 3.7 s, the noise every 9.3 s), so that writing hours of
# audio takes seconds.
cat >"$work/generate.py" <<'PY'
import sys
import numpy as np

hours, rate, channels = float(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
total = round(hours * 3600 * rate)
block = rate


def cyclic(x):
    """x followed by its first `block` samples: any block-long slice from 0 to len(x) is whole."""
    return np.concatenate([x, x[:block]])


t = np.arange(rate) / rate
hum = np.zeros((rate, channels))
for c in range(channels):
    hum[:, c] = sum(0.1 / k * np.sin(2 * np.pi * 120 * k * t + 0.3 * k * c) for k in range(1, 12))
hum = hum.astype(np.float32)

period = round(3.7 * rate)
tb = np.arange(period) / rate
burst = np.where((tb % 1.85) < 0.25, 0.2 * np.sin(2 * np.pi * 700 * tb), 0.0)
bursts = cyclic(np.stack([np.roll(burst, 40 * c) for c in range(channels)], axis=1)
                .astype(np.float32))

rng = np.random.default_rng(7)
noise = cyclic(0.02 * rng.standard_normal((round(9.3 * rate), channels), dtype=np.float32))

out = np.empty((block, channels), dtype="<f4")
stdout = sys.stdout.buffer
try:
    for start in range(0, total, block):
        b, n = start % (len(bursts) - block), start % (len(noise) - block)
        np.add(hum, bursts[b:b + block], out=out)
        out += noise[n:n + block]
        stdout.write(memoryview(out[:min(block, total - start)]).cast("B"))
    stdout.flush()
except BrokenPipeError:  # the tool stopped reading; its own status tells why
    sys.exit(1)
PY

# Prints the sample count of a WAV file's data chunk (4-byte float samples).
wav_samples() {
  /usr/bin/python3 - "$1" <<'PY'
import struct, sys
with open(sys.argv[1], "rb") as f:
    assert f.read(12)[8:] == b"WAVE"
    while True:
        head = f.read(8)
        tag, size = head[:4], struct.unpack("<I", head[4:])[0]
        if tag == b"data":
            print(size // 4)
            break
        f.seek(size + (size & 1), 1)
PY
}

generate() {
  /usr/bin/python3 "$work/generate.py" "$hours" "$rate" "$channels"
}

audio=$(awk -v h="$hours" -v r="$rate" 'BEGIN { printf "%.0f", h * 3600 * r }')
start=$(date +%s.%N)
generate | cat >/dev/null
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v h="$hours" \
  'BEGIN { printf "generator alone, through a pipe: %.2f h of audio in %.1f s\n\n", h, e - s }'

printf '| %-28s | %7s | %9s | %10s | %13s |\n' Chain Audio Wall "Real time" "Peak RSS"
printf '|%s|%s|%s|%s|%s|\n' "------------------------------" "---------" "-----------" \
  "------------" "---------------"
status=0
for integrator in mask median poisson-gamma; do
  out=$work/enhanced.wav
  generate | /usr/bin/time -o "$work/time" -f '%M %e' \
    "$tool" enhance - --raw f32le --channels "$channels" --rate "$rate" --length 512 --hop 160 \
    -o "$out" --integrator "$integrator" -q
  read -r rss wall <"$work/time"
  got=$(wav_samples "$out")
  rm -f "$out"
  awk -v n="nimbusdale $integrator" -v h="$hours" -v w="$wall" -v k="$rss" \
    'BEGIN { printf "| %-28s | %5.2f h | %7.1f s | %9.0fx | %9.1f MiB |\n",
             n, h, w, h * 3600 / w, k / 1024 }'
  if [ "$got" != "$audio" ]; then
    echo "nimbusdale $integrator wrote $got samples for $audio input samples" >&2
    status=1
  fi
  if [ "$rss" -ge $((limit * 1024)) ]; then
    echo "nimbusdale $integrator peaked at $((rss / 1024)) MiB, not under $limit MiB" >&2
    status=1
  fi
done
exit "$status"
