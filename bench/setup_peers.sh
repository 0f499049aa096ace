#!/usr/bin/env bash
# Installs and builds what the evaluation (bench/evaluate_examples.py) and the race
# (bench/race.sh) run, so that both work on a fresh machine: Debian's espeak-ng and sox (the
# example set), SpeexDSP and WebRTC audio processing (bench/speex_denoise, bench/webrtc_denoise),
# nodejs and npm; the tool, the Python module and both peer programs in BUILD_DIR; and RNNoise
# (npm @shiguredo/rnnoise-wasm, pinned) into BUILD_DIR/rnnoise for bench/rnnoise_denoise.mjs.
# Quiet unless something fails.
#
#   bash bench/setup_peers.sh [BUILD_DIR]      (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

build=${1:-build/release}
rnnoise_version=2025.1.5

# Prints a step's output only when it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { tail -n 40 "$log" >&2; echo "setup_peers.sh: failed: $*" >&2; }
  rm -f "$log"
  return "$status"
}

install_packages sox espeak-ng libspeexdsp-dev libwebrtc-audio-processing-dev \
  "${BUILD_PACKAGES[@]}" >&2
# A machine may have node from elsewhere; Debian's npm would replace it.
command -v node >/dev/null && command -v npm >/dev/null || install_packages nodejs npm >&2

quietly cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DNIMBUSDALE_BUILD_BENCHMARKS=ON -DNIMBUSDALE_BUILD_PYTHON=ON
quietly cmake --build "$build" --target nimbusdale_tool nimbusdale_python speex_denoise \
  webrtc_denoise

prefix=$build/rnnoise
manifest=$prefix/node_modules/@shiguredo/rnnoise-wasm/package.json
if ! grep -q "\"version\": \"$rnnoise_version\"" "$manifest" 2>/dev/null; then
  echo "Installing @shiguredo/rnnoise-wasm@$rnnoise_version into $prefix" >&2
  mkdir -p "$prefix"
  quietly npm install --prefix "$prefix" --cache "$prefix/npm-cache" --no-audit --no-fund \
    --save-exact "@shiguredo/rnnoise-wasm@$rnnoise_version"
fi
