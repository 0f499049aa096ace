#!/usr/bin/env bash
# Builds and runs the consumer project against an installed tree, through CMake's package and
# through pkg-config: run.sh PREFIX (CMake's prefix; /usr for the system) [WORK_DIR].
set -euo pipefail
prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
work=${2:-$(mktemp -d)}
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
pcdir=$(find "$prefix" -path '*/pkgconfig/nimbusdale.pc' -printf '%h\n' -quit)
PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
  g++ -std=c++17 "$here/consumer.cpp" -o "$work/consumer-pc" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs nimbusdale)
"$work/consumer-pc"
