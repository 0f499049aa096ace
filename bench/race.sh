#!/usr/bin/env bash
# Times nimbusdale against the single-channel denoisers users would otherwise pick, on the same
# recordings: 8-channel items of the example set (examples/make_examples.py: espeak-ng speech in
# gearbox noise, babble, babble with reverberation and fan noise, 16 kHz), each repeated to at
# least 60 s, then the generated 9 s recording of earlier races (8 channels, 16 kHz: harmonic
# hum, broadband noise and tone bursts).
#
#   - nimbusdale enhance, mask, median and Poisson-Gamma chains, --length 512 --hop 160, 2 and 1
#     threads, all channels;
#   - the SpeexDSP preprocessor denoiser on channel 0 (bench/speex_denoise.cpp, 320-sample frames);
#   - WebRTC's noise suppressor on channel 0, levels high and veryhigh (bench/webrtc_denoise.cpp,
#     160-sample frames);
#   - RNNoise on channel 0 (bench/rnnoise_denoise.mjs: the npm WebAssembly build under node, at
#     48 kHz, so node's start and sox's resampling to 48 kHz and back count too);
#   - sox noisered on channel 0, with a noise profile from its first 0.5 s.
#
# Each command runs RUNS times (default 5), in rounds of one run of every system on the
# recording, so that a slow stretch of the machine falls on all of them rather than on one
# system's runs; the best wall-clock time counts, process start and file reading and writing
# included (the median time under load). Prints, per recording, each
# system's multiple of real time and its time relative to the mask chain (the default) on 2
# threads, and, for the items, the estimators' mean inner passes per update (nimbusdale.Enhancer
# on the same samples; the same for every chain, which share the separation). It also prints
# the idle share of the CPUs before the runs and the CPU time other processes took during them.
#
#   bash bench/race.sh [BUILD_DIR]      (default build/release; bench/setup_peers.sh installs
#                                        and builds what it runs)
#   LOADED=1 bash bench/race.sh         the same beside a busy loop on every core
#   COMPARE=OTHER_TOOL bash bench/race.sh   another build of the tool against this one, in
#                                        turn on each item and on a start-up cut (below); no
#                                        peers, no table
#
# The example set is generated once into BUILD_DIR/bench-examples and reused.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
bash bench/setup_peers.sh "$build"
runs=${RUNS:-5}
items=(gearbox_8ch babble_8ch babble_reverb_8ch fan_8ch)
min_seconds=60
tool=$build/apps/nimbusdale
speex=$build/bench/speex_denoise
webrtc=$build/bench/webrtc_denoise

examples=$build/bench-examples
if [ ! -d "$examples" ]; then
  echo "Generating the example set into $examples" >&2
  rm -rf "$examples.partial"
  /usr/bin/python3 examples/make_examples.py "$examples.partial" >/dev/null
  mv "$examples.partial" "$examples"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The 9 s generated recording of earlier races.
mkdir "$work/synthetic"
/usr/bin/python3 - "$work/synthetic/noisy.wav" <<'PY'
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

# Each item, repeated end to end to at least min_seconds.
for item in "${items[@]}"; do
  source=$examples/$item/noisy.wav
  [ -f "$source" ] || { echo "race.sh: $source is missing; remove $examples to rebuild it" >&2; exit 1; }
  seconds=$(soxi -D "$source")
  repeats=$(awk -v s="$seconds" -v m="$min_seconds" 'BEGIN { r = int(m / s); print r * s < m ? r : r - 1 }')
  mkdir "$work/$item"
  # Plain PCM WAV (sox writes the extensible header for more than 2 channels otherwise), which
  # Python's wave module reads.
  sox "$source" -t wavpcm "$work/$item/noisy.wav" repeat "$repeats"
done

# Channel 0 as raw samples and as a file, and its noise profile, for the peers.
for dir in "$work"/*/; do
  sox "$dir/noisy.wav" -t raw -e signed -b 16 -c 1 "$dir/ch0.raw" remix 1
  sox "$dir/noisy.wav" "$dir/ch0.wav" remix 1
  sox "$dir/ch0.wav" -n trim 0 0.5 noiseprof "$dir/noise.prof" 2>/dev/null
done

# Mean inner passes per estimator update of the enhancement of a recording (mask chain).
passes() {
  PYTHONPATH=$build/python /usr/bin/python3 - "$1" <<'PY'
import sys, wave
import numpy as np
import nimbusdale
with wave.open(sys.argv[1]) as w:
    channels, rate = w.getnchannels(), w.getframerate()
    x = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, channels)
x = x.astype(np.float32) / 32768
e = nimbusdale.Enhancer(channels, rate, length=512, hop=160)
for start in range(0, len(x), rate):
    e.process(x[start:start + rate])
e.flush()
updates = e.frames * channels
print(f"Mean estimator inner passes per update: {e.passes / updates:.1f} ({e.frames} frames x "
      f"{channels} channels; {e.not_converged} updates at the pass cap); the frame's slowest "
      f"channel: {e.slowest_passes / e.frames:.1f}, {e.slowest_passes * channels / e.passes:.2f}x "
      f"the mean, what channels in lockstep would run")
PY
}

# Wall-clock seconds of one run of the command.
once() {
  local start end
  start=$(date +%s.%N)
  if ! "$@" >/dev/null 2>"$work/stderr"; then
    echo "race.sh: failed: $*" >&2
    cat "$work/stderr" >&2
    return 1
  fi
  end=$(date +%s.%N)
  echo "$start $end" | awk '{print $2 - $1}'
}

# The best of the seconds on standard input, one a line, or the median under load.
pick() {
  sort -g | awk -v loaded="${LOADED:-0}" '{t[NR] = $1}
    END {print loaded == 1 ? t[int((NR + 1) / 2)] : t[1]}'
}

# COMPARE=OTHER_TOOL: that tool and this build's, one run of each in turn, `runs` times on each
# item and on a 0.2 s cut of the first (little more than the process's start), mask chain on 2
# and 1 threads; best and median seconds of each. Nothing else runs. The alternation puts both
# builds through the same moments of a machine whose speed moves.
if [ -n "${COMPARE:-}" ]; then
  mkdir "$work/start-up"
  sox "$work/${items[0]}/noisy.wav" "$work/start-up/noisy.wav" trim 0 0.2
  printf '| Item | 2 threads, other | 2 threads, this | 1 thread, other | 1 thread, this |\n'
  printf '|---|---|---|---|---|\n'
  for item in "${items[@]}" start-up; do
    row="| $item"
    for threads in 2 1; do
      : >"$work/other" && : >"$work/this"
      for _ in $(seq "$runs"); do
        for which in other this; do
          binary=$tool
          [ "$which" = other ] && binary=$COMPARE
          once "$binary" enhance "$work/$item/noisy.wav" -o "$work/out.wav" -q --length 512 \
            --hop 160 --threads "$threads" >>"$work/$which"
        done
      done
      for which in other this; do
        row+=" | $(sort -g "$work/$which" | awk '{t[NR] = $1}
          END {printf "%.3f / %.3f", t[1], t[int((NR + 1) / 2)]}')"
      done
    done
    echo "$row |"
  done
  echo "(best / median of $runs runs, seconds; other: $COMPARE, this: $tool)"
  exit 0
fi

declare -a names commands times
# Adds a system to the recording's race: its name and its command.
measure() {
  names+=("$1")
  shift
  commands+=("$(printf '%q ' "$@")")
}

# Runs every command added, once a round for `runs` rounds, and keeps each one's time.
run_rounds() {
  local i
  for i in "${!commands[@]}"; do : >"$work/seconds$i"; done
  for _ in $(seq "$runs"); do
    for i in "${!commands[@]}"; do
      eval "once ${commands[$i]}" >>"$work/seconds$i" || return 1
    done
  done
  times=()
  for i in "${!commands[@]}"; do times+=("$(pick <"$work/seconds$i")"); done
}

# Races every system on the recording in DIR and prints the table.
race() {
  local dir=$1 audio channels
  audio=$(soxi -D "$dir/noisy.wav")
  channels=$(soxi -c "$dir/noisy.wav")
  names=()
  commands=()
  for integrator in mask median poisson-gamma; do
    for threads in 2 1; do
      measure "nimbusdale $integrator, $threads thread$([ "$threads" = 1 ] || echo s), $channels channels" \
        "$tool" enhance "$dir/noisy.wav" -o "$work/out.wav" -q --integrator "$integrator" \
        --length 512 --hop 160 --threads "$threads"
    done
  done
  measure "SpeexDSP denoiser, channel 0" sh -c "'$speex' 16000 < '$dir/ch0.raw' > '$work/out.raw'"
  for level in high veryhigh; do
    measure "WebRTC noise suppression $level, channel 0" \
      sh -c "'$webrtc' $level 16000 < '$dir/ch0.raw' > '$work/out.raw'"
  done
  measure "RNNoise, channel 0" node bench/rnnoise_denoise.mjs --module "$build/rnnoise" \
    "$dir/ch0.wav" "$work/out.wav"
  measure "sox noisered, channel 0" sox "$dir/ch0.wav" "$work/out.wav" noisered "$dir/noise.prof" 0.21
  run_rounds

  local ours=${times[0]} i
  printf '| %-50s | %8s | %10s | %18s |\n' System Time "Real time" "vs. mask, 2 threads"
  printf '|%s|%s|%s|%s|\n' "----------------------------------------------------" "----------" \
    "------------" "---------------------"
  for i in "${!names[@]}"; do
    awk -v n="${names[$i]}" -v t="${times[$i]}" -v a="$audio" -v o="$ours" \
      'BEGIN { printf "| %-50s | %6.3f s | %9.0fx | %18.2fx |\n", n, t, a / t, t / o }'
  done
}

# The passes come first: they need no timing, so the busy loops need not wait for them.
declare -A item_passes
for item in "${items[@]}"; do
  item_passes[$item]=$(passes "$work/$item/noisy.wav")
done

# What else the machine was doing: the share of idle CPU time over the 2 s before the runs.
cpu_times() { awk '/^cpu / { print $5 + $6, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }
before=$(cpu_times)
sleep 2
idle=$(echo "$before $(cpu_times)" | awk '{ printf "%.0f%%", 100 * ($3 - $1) / ($4 - $2) }')
printf 'Runs: %s (%s); %s cores, %s idle over the 2 s before the runs\n' "$runs" \
  "$([ "${LOADED:-0}" = 1 ] && echo "median, beside a busy loop on every core" || echo best)" \
  "$(nproc)" "$idle"

# CPU seconds, user and system, of this script's finished children so far (the `times` of this
# shell: a subshell's own would start from zero).
children_seconds() {
  times >"$work/times"
  awk 'NR == 2 { gsub(/s/, ""); split($1, u, "m"); split($2, k, "m");
    print u[1] * 60 + u[2] + k[1] * 60 + k[2] }' "$work/times"
}
start_cpu=$(cpu_times)
children_seconds >"$work/ours_before"

if [ "${LOADED:-0}" = 1 ]; then
  for _ in $(seq "$(nproc)"); do sh -c 'while :; do :; done' & done
  trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
fi

for item in "${items[@]}"; do
  printf '\n### %s, %.1f s (the %.2f s item repeated)\n\n' "$item" \
    "$(soxi -D "$work/$item/noisy.wav")" "$(soxi -D "$examples/$item/noisy.wav")"
  race "$work/$item"
  printf '\n%s\n' "${item_passes[$item]}"
done
printf '\n### The generated recording, 9.0 s (hum, broadband noise and tone bursts)\n\n'
race "$work/synthetic"

# Busy CPU time during the runs less the runs' own: what other processes took meanwhile.
if [ "${LOADED:-0}" != 1 ]; then
  end_cpu=$(cpu_times)
  children_seconds >"$work/ours_after"
  echo "$start_cpu $end_cpu $(cat "$work/ours_before") $(cat "$work/ours_after")" |
    awk -v hz="$(getconf CLK_TCK)" -v cores="$(nproc)" '{
      capacity = ($4 - $2) / hz; busy = capacity - ($3 - $1) / hz
      others = busy - ($6 - $5); if (others < 0) others = 0
      printf "\nOther processes took %.1f s of CPU time during the runs (%.0f%% of %.0f s on %d cores)\n",
        others, 100 * others / capacity, capacity / cores, cores }'
fi
