#!/usr/bin/env bash
# Builds and runs the consumer project against an installed tree, through CMake's package and
# through pkg-config, and runs the installed tool if there is one: run.sh PREFIX (CMake's prefix;
# /usr for the system) [WORK_DIR].
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

# The installed tool runs from wherever the tree was installed, on its own toolbox.
if [ -x "$prefix/bin/nimbusdale" ]; then
  info=$("$prefix/bin/nimbusdale" info)
  grep -q "^toolbox $prefix/.*/flowdesigner/toolbox/audio_blocks/libnimbusdale-" <<<"$info" ||
    { echo "run.sh: the installed tool does not use the installed toolbox:" >&2; echo "$info" >&2; exit 1; }
  grep -q "^node MultiRobustPCA" <<<"$info"
fi
