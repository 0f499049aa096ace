#!/usr/bin/env bash
# Times nimbusdale against the single-channel denoisers users would otherwise pick, on the same
# generated recording (8 channels, 16 kHz, 9 s: harmonic hum, broadband noise and tone bursts):
#
#   - nimbusdale enhance, mask, median and Poisson-Gamma chains, --length 512 --hop 160, 1 and 2
#     threads;
#   - the SpeexDSP preprocessor denoiser on channel 0 (bench/speex_denoise.cpp, 320-sample frames);
#   - sox noisered on channel 0, with a noise profile from its first 0.5 s.
#
# Each command runs RUNS times (default 5); the best wall-clock time counts, process start and
# file reading and writing included (the median time under load). Prints each system's multiple
# of real time and its time relative to the mask chain (the default) on 2 threads.
#
#   bash bench/race.sh [BUILD_DIR]      (default build/release; installs sox and libspeexdsp-dev)
#   LOADED=1 bash bench/race.sh         the same beside a busy loop on every core
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_packages sox libspeexdsp-dev "${BUILD_PACKAGES[@]}"

build=${1:-build/release}
runs=${RUNS:-5}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBUSDALE_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target nimbusdale_tool speex_denoise >/dev/null
tool=$build/apps/nimbusdale
speex=$build/bench/speex_denoise

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work/noisy.wav" <<'PY'
import sys, wave
import numpy as np
rate, seconds, channels = 16000, 9, 8
t = np.arange(rate * seconds) / rate
rng = np.random.default_rng(7)
bursts = np.where((t % 1.0) < 0.2, 0.2 * np.sin(2 * np.pi * 700 * t), 0.0)
x = np.zeros((t.size, channels))
for c in range(channels):
    hum = sum(0.1 / k * np.sin(2 * np.pi * 120 * k * t + 0.3 * k * c) for k in range(1, 12))
    x[:, c] = hum + 0.02 * rng.standard_normal(t.size) + np.roll(bursts, c)
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(channels)
    w.setsampwidth(2)
    w.setframerate(rate)
    w.writeframes((np.clip(x, -1, 1) * 32767).astype("<i2").tobytes())
PY
sox "$work/noisy.wav" -t raw -e signed -b 16 -c 1 "$work/ch0.raw" remix 1
sox "$work/noisy.wav" "$work/ch0.wav" remix 1
sox "$work/ch0.wav" -n trim 0 0.5 noiseprof "$work/noise.prof" 2>/dev/null
audio=9

# Best wall-clock seconds of `runs` runs of the command, or the median under load.
best() {
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$start $end" | awk '{print $2 - $1}'
  done | sort -g | awk -v loaded="${LOADED:-0}" '{t[NR] = $1}
    END {print loaded == 1 ? t[int((NR + 1) / 2)] : t[1]}'
}

if [ "${LOADED:-0}" = 1 ]; then
  for _ in $(seq "$(nproc)"); do sh -c 'while :; do :; done' & done
  trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
fi

declare -a names times
measure() {
  local name=$1
  shift
  names+=("$name")
  times+=("$(best "$@")")
}
for integrator in mask median poisson-gamma; do
  for threads in 2 1; do
    measure "nimbusdale $integrator, $threads thread(s), 8 channels" \
      "$tool" enhance "$work/noisy.wav" -o "$work/out.wav" -q --integrator "$integrator" \
      --length 512 --hop 160 --threads "$threads"
  done
done
measure "SpeexDSP denoiser, channel 0" sh -c "'$speex' 16000 < '$work/ch0.raw' > '$work/speex.raw'"
measure "sox noisered, channel 0" sox "$work/ch0.wav" "$work/sox.wav" noisered "$work/noise.prof" 0.21

ours=${times[0]}
printf '| %-50s | %8s | %14s | %12s |\n' System Time "Real time" "vs. ours"
printf '|%s|%s|%s|%s|\n' "----------------------------------------------------" "----------" \
  "----------------" "--------------"
for i in "${!names[@]}"; do
  awk -v n="${names[$i]}" -v t="${times[$i]}" -v a="$audio" -v o="$ours" \
    'BEGIN { printf "| %-50s | %6.3f s | %12.0fx | %11.2fx |\n", n, t, a / t, t / o }'
done
