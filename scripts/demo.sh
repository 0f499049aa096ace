#!/usr/bin/env bash
# The main job on the bundled example: installs what the build needs (Debian packages, as root),
# builds the tool, enhances examples/demo/noisy.wav into out/enhanced.wav with its spectrogram
# out/enhanced.png, and scores both the unprocessed channel 0 and the output against the clean
# reference.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target nimbusdale_tool
tool=build/release/apps/nimbusdale

mkdir -p out
"$tool" enhance examples/demo/noisy.wav -o out/enhanced.wav --spectrogram out/enhanced.png "$@"
echo "== unprocessed channel 0 against the clean reference"
"$tool" score --reference examples/demo/clean.wav examples/demo/noisy.wav
echo "== out/enhanced.wav against the clean reference"
"$tool" score --reference examples/demo/clean.wav out/enhanced.wav
echo "Wrote out/enhanced.wav and out/enhanced.png"
